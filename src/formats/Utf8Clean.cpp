#include "formats/Utf8Clean.h"

#include <glib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace quillery {

namespace {

// Length of the leading run of ASCII bytes other than NUL, eight bytes at a time.
size_t CleanAsciiPrefix(const char* p, size_t n) {
  const uint64_t high = 0x8080808080808080ULL;
  const uint64_t ones = 0x0101010101010101ULL;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t v;
    memcpy(&v, p + i, 8);
    if ((v & high) || ((v - ones) & ~v & high)) break;
  }
  while (i < n && p[i] != 0 && static_cast<unsigned char>(p[i]) < 0x80) ++i;
  return i;
}

}  // namespace

bool IsCleanUtf8(const char* p, size_t n) {
  size_t ascii = CleanAsciiPrefix(p, n);
  if (ascii == n) return true;
  // g_utf8_validate_len rejects NUL bytes as well as bad sequences.
  return g_utf8_validate_len(p + ascii, n - ascii, nullptr);
}

void DropNulBytes(std::string& text) {
  if (memchr(text.data(), 0, text.size()))
    text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
}

void MakeValidUtf8(std::string& text) {
  DropNulBytes(text);
  if (IsCleanUtf8(text.data(), text.size())) return;
  gchar* valid = g_utf8_make_valid(text.data(), gssize(text.size()));
  text.assign(valid);
  g_free(valid);
}

}  // namespace quillery
