#include "html/HtmlTokens.h"

#include <cstdint>
#include <cstring>

const HtmlTokenRow _HtmlTokens[] = {
    {"DL", 1},   {"DT", 2},    {"DD", 3},    {"A", 4},      {"BR", 5},    {"IMG", 6},  {"B", 7},
    {"I", 8},    {"U", 9},     {"S", 10},    {"FONT", 11},  {"META", 12}, {"UL", 13},  {"OL", 33},
    {"LI", 14},  {"P", 17},    {"SPAN", 15}, {"TITLE", 16}, {"SUP", 18},  {"SUB", 19}, {"TR", 20},
    {"TD", 21},  {"H1", 22},   {"H2", 23},   {"H3", 24},    {"H4", 25},   {"H5", 26},  {"H6", 27},
    {"DIV", 28}, {"BODY", 29}, {"PRE", 30},  {"HTML", 31},  {"HEAD", 32},
};
const size_t _HtmlTokens_count = sizeof(_HtmlTokens) / sizeof(_HtmlTokens[0]);

namespace {

// The longest name in the table ("TITLE"); anything longer cannot match.
constexpr size_t kMaxTokenName = 5;

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }
char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

}  // namespace

const std::unordered_map<std::string, unsigned int>& g_mapTokens() {
  static const std::unordered_map<std::string, unsigned int> map = [] {
    std::unordered_map<std::string, unsigned int> m;
    for (size_t i = 0; i < _HtmlTokens_count; ++i) {
      std::string name = _HtmlTokens[i].name;
      m.emplace(name, _HtmlTokens[i].token);
      for (char& c : name) c = AsciiLower(c);
      m.emplace(name, _HtmlTokens[i].token);
    }
    return m;
  }();
  return map;
}

namespace {

// Names of up to 8 bytes packed into one integer, upper-cased, in a small open-addressing
// table: a tag costs a few instructions, no string and no hashing of a std::string.
class PackedTokenTable {
 public:
  PackedTokenTable() {
    for (size_t i = 0; i < _HtmlTokens_count; ++i) {
      uint64_t key = Pack(_HtmlTokens[i].name, strlen(_HtmlTokens[i].name));
      size_t slot = Slot(key);
      while (m_keys[slot]) slot = (slot + 1) % kSlots;
      m_keys[slot] = key;
      m_tokens[slot] = _HtmlTokens[i].token;
    }
  }
  unsigned int Find(uint64_t key) const {
    for (size_t slot = Slot(key); m_keys[slot]; slot = (slot + 1) % kSlots)
      if (m_keys[slot] == key) return m_tokens[slot];
    return HTML_TOKEN_UNKNOWN;
  }
  static uint64_t Pack(const char* name, size_t len) {
    uint64_t key = 0;
    for (size_t i = 0; i < len; ++i)
      key = (key << 8) | static_cast<unsigned char>(AsciiUpper(name[i]));
    return key;
  }

 private:
  static constexpr size_t kSlots = 128;
  static size_t Slot(uint64_t key) { return size_t((key * 0x9E3779B97F4A7C15ULL) >> 57); }
  uint64_t m_keys[kSlots] = {};
  unsigned int m_tokens[kSlots] = {};
};

}  // namespace

unsigned int HtmlTokenFromName(const char* name) {
  if (!name || !*name) return HTML_TOKEN_UNKNOWN;
  uint64_t key = 0;
  for (size_t i = 0; name[i]; ++i) {
    if (i == kMaxTokenName) return HTML_TOKEN_UNKNOWN;
    key = (key << 8) | static_cast<unsigned char>(AsciiUpper(name[i]));
  }
  static const PackedTokenTable table;
  return table.Find(key);
}
