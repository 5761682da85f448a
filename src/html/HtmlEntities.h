#pragma once
// Named character references understood by the HTML reader, and the four that the
// writer produces.
//
// Invariant: the tables are constant; the name map is built from `_table_char` on
// first use (a function-local static, so its construction order cannot bite) and is
// only read afterwards.

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

struct HtmlEntity {
  uint32_t code;     // Unicode code point
  const char* name;  // without "&" and ";"
};

struct HtmlMinimalEntity {
  uint32_t code;
  const char* escaped;  // "&quot;" and friends, with "&" and ";"
};

// HTML 4.01 names, except that "nbsp" gives a plain blank (32) and "apos" is added.
extern const HtmlEntity _table_char[];
extern const size_t _table_char_count;

// The characters that escaping replaces: '"', '&', '<', '>'. The apostrophe is kept.
extern const HtmlMinimalEntity _table_char_minimal[];
extern const size_t _table_char_minimal_count;

// Entity name (exact case) to code point.
const std::unordered_map<std::string, uint32_t>& g_mapInTableSort();

// The code point of an entity name, or 0 when the name is unknown.
uint32_t HtmlEntityLookup(const char* name, size_t len);

namespace quillery {

// At data[pos], the character reference that the reader decodes: "&amp;" and the
// other names above, "&#65;", "&#x41;", "&#13;" (a line feed). Returns its length
// with "&" and ";" and appends the decoded characters to *out (when not null);
// returns 0 when the "&" there stays a literal one. *unknownName (when not null)
// is set for a well-formed "&name;" whose name is unknown.
size_t DecodeReferenceAt(const char* data, size_t n, size_t pos, std::string* out, bool* unknownName = nullptr);

}  // namespace quillery
