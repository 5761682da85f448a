#pragma once
// Tag names the HTML reader understands, and their numbers.
//
// Invariant: `_HtmlTokens` is constant; the map built from it (each name in upper and
// in lower case, 66 entries) is a function-local static that is filled once and never
// changes afterwards: looking up an unknown name does not add it.

#include <cstddef>
#include <string>
#include <unordered_map>

enum HtmlTokenId : unsigned int {
  HTML_TOKEN_UNKNOWN = 0,
  HTML_TOKEN_DL = 1,
  HTML_TOKEN_DT = 2,
  HTML_TOKEN_DD = 3,
  HTML_TOKEN_A = 4,
  HTML_TOKEN_BR = 5,
  HTML_TOKEN_IMG = 6,
  HTML_TOKEN_B = 7,
  HTML_TOKEN_I = 8,
  HTML_TOKEN_U = 9,
  HTML_TOKEN_S = 10,
  HTML_TOKEN_FONT = 11,
  HTML_TOKEN_META = 12,
  HTML_TOKEN_UL = 13,
  HTML_TOKEN_LI = 14,
  HTML_TOKEN_SPAN = 15,
  HTML_TOKEN_TITLE = 16,
  HTML_TOKEN_P = 17,
  HTML_TOKEN_SUP = 18,
  HTML_TOKEN_SUB = 19,
  HTML_TOKEN_TR = 20,
  HTML_TOKEN_TD = 21,
  HTML_TOKEN_H1 = 22,
  HTML_TOKEN_H2 = 23,
  HTML_TOKEN_H3 = 24,
  HTML_TOKEN_H4 = 25,
  HTML_TOKEN_H5 = 26,
  HTML_TOKEN_H6 = 27,
  HTML_TOKEN_DIV = 28,
  HTML_TOKEN_BODY = 29,
  HTML_TOKEN_PRE = 30,
  HTML_TOKEN_HTML = 31,
  HTML_TOKEN_HEAD = 32,
  HTML_TOKEN_OL = 33,
};

struct HtmlTokenRow {
  const char* name;  // upper case
  unsigned int token;
};

extern const HtmlTokenRow _HtmlTokens[];
extern const size_t _HtmlTokens_count;

// Name (upper or lower case as in the table) to token.
const std::unordered_map<std::string, unsigned int>& g_mapTokens();

// The token of a tag name, compared without regard to ASCII case; 0 when unknown.
unsigned int HtmlTokenFromName(const char* name);
