#include "formats/HtmlTokens.h"

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

unsigned int HtmlTokenFromName(const char* name) {
  if (!name) return HTML_TOKEN_UNKNOWN;
  size_t len = strnlen(name, kMaxTokenName + 1);
  if (len == 0 || len > kMaxTokenName) return HTML_TOKEN_UNKNOWN;
  const auto& map = g_mapTokens();
  std::string key(name, len);  // short: no allocation
  auto it = map.find(key);
  if (it != map.end()) return it->second;
  for (char& c : key)  // mixed case such as "Br"
    c = AsciiUpper(c);
  it = map.find(key);
  return it == map.end() ? HTML_TOKEN_UNKNOWN : it->second;
}
