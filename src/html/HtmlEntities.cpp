#include "html/HtmlEntities.h"

#include <glib.h>

#include <cstring>

#include "html/HtmlTextUtils.h"

const HtmlEntity _table_char[] = {
    {32, "nbsp"},     {34, "quot"},     {38, "amp"},       {60, "lt"},      {62, "gt"},
    {39, "apos"},     {161, "iexcl"},   {162, "cent"},     {163, "pound"},  {164, "curren"},
    {165, "yen"},     {166, "brvbar"},  {167, "sect"},     {168, "uml"},    {169, "copy"},
    {170, "ordf"},    {171, "laquo"},   {172, "not"},      {173, "shy"},    {174, "reg"},
    {175, "macr"},    {176, "deg"},     {177, "plusmn"},   {178, "sup2"},   {179, "sup3"},
    {180, "acute"},   {181, "micro"},   {182, "para"},     {183, "middot"}, {184, "cedil"},
    {185, "sup1"},    {186, "ordm"},    {187, "raquo"},    {188, "frac14"}, {189, "frac12"},
    {190, "frac34"},  {191, "iquest"},  {192, "Agrave"},   {193, "Aacute"}, {194, "Acirc"},
    {195, "Atilde"},  {196, "Auml"},    {197, "Aring"},    {198, "AElig"},  {199, "Ccedil"},
    {200, "Egrave"},  {201, "Eacute"},  {202, "Ecirc"},    {203, "Euml"},   {204, "Igrave"},
    {205, "Iacute"},  {206, "Icirc"},   {207, "Iuml"},     {208, "ETH"},    {209, "Ntilde"},
    {210, "Ograve"},  {211, "Oacute"},  {212, "Ocirc"},    {213, "Otilde"}, {214, "Ouml"},
    {215, "times"},   {216, "Oslash"},  {217, "Ugrave"},   {218, "Uacute"}, {219, "Ucirc"},
    {220, "Uuml"},    {221, "Yacute"},  {222, "THORN"},    {223, "szlig"},  {224, "agrave"},
    {225, "aacute"},  {226, "acirc"},   {227, "atilde"},   {228, "auml"},   {229, "aring"},
    {230, "aelig"},   {231, "ccedil"},  {232, "egrave"},   {233, "eacute"}, {234, "ecirc"},
    {235, "euml"},    {236, "igrave"},  {237, "iacute"},   {238, "icirc"},  {239, "iuml"},
    {240, "eth"},     {241, "ntilde"},  {242, "ograve"},   {243, "oacute"}, {244, "ocirc"},
    {245, "otilde"},  {246, "ouml"},    {248, "oslash"},   {249, "ugrave"}, {250, "uacute"},
    {251, "ucirc"},   {252, "uuml"},    {253, "yacute"},   {254, "thorn"},  {255, "yuml"},
    {338, "OElig"},   {339, "oelig"},   {352, "Scaron"},   {353, "scaron"}, {376, "Yuml"},
    {402, "fnof"},    {710, "circ"},    {732, "tilde"},    {913, "Alpha"},  {914, "Beta"},
    {915, "Gamma"},   {916, "Delta"},   {917, "Epsilon"},  {918, "Zeta"},   {919, "Eta"},
    {920, "Theta"},   {921, "Iota"},    {922, "Kappa"},    {923, "Lambda"}, {924, "Mu"},
    {925, "Nu"},      {926, "Xi"},      {927, "Omicron"},  {928, "Pi"},     {929, "Rho"},
    {931, "Sigma"},   {932, "Tau"},     {933, "Upsilon"},  {934, "Phi"},    {935, "Chi"},
    {936, "Psi"},     {937, "Omega"},   {945, "alpha"},    {946, "beta"},   {947, "gamma"},
    {948, "delta"},   {949, "epsilon"}, {950, "zeta"},     {951, "eta"},    {952, "theta"},
    {953, "iota"},    {954, "kappa"},   {955, "lambda"},   {956, "mu"},     {957, "nu"},
    {958, "xi"},      {959, "omicron"}, {960, "pi"},       {961, "rho"},    {962, "sigmaf"},
    {963, "sigma"},   {964, "tau"},     {965, "upsilon"},  {966, "phi"},    {967, "chi"},
    {968, "psi"},     {969, "omega"},   {977, "thetasym"}, {978, "upsih"},  {982, "piv"},
    {8194, "ensp"},   {8195, "emsp"},   {8201, "thinsp"},  {8211, "ndash"}, {8212, "mdash"},
    {8216, "lsquo"},  {8217, "rsquo"},  {8218, "sbquo"},   {8220, "ldquo"}, {8221, "rdquo"},
    {8222, "bdquo"},  {8224, "dagger"}, {8225, "Dagger"},  {8226, "bull"},  {8230, "hellip"},
    {8240, "permil"}, {8249, "lsaquo"}, {8250, "rsaquo"},  {8364, "euro"},  {8482, "trade"},
    {9824, "spades"}, {9827, "clubs"},  {9829, "hearts"},  {9830, "diams"},
};
const size_t _table_char_count = sizeof(_table_char) / sizeof(_table_char[0]);

const HtmlMinimalEntity _table_char_minimal[] = {
    {34, "&quot;"},
    {38, "&amp;"},
    {60, "&lt;"},
    {62, "&gt;"},
};
const size_t _table_char_minimal_count =
    sizeof(_table_char_minimal) / sizeof(_table_char_minimal[0]);

const std::unordered_map<std::string, uint32_t>& g_mapInTableSort() {
  static const std::unordered_map<std::string, uint32_t> map = [] {
    std::unordered_map<std::string, uint32_t> m;
    m.reserve(_table_char_count);
    for (size_t i = 0; i < _table_char_count; ++i)
      m.emplace(_table_char[i].name, _table_char[i].code);
    return m;
  }();
  return map;
}

uint32_t HtmlEntityLookup(const char* name, size_t len) {
  const auto& map = g_mapInTableSort();
  auto it = map.find(std::string(name, len));
  return it == map.end() ? 0 : it->second;
}

namespace {

// An entity name is 1 to 32 characters of [A-Za-z0-9#]; anything else after an "&"
// is a literal "&" (stray ampersands in foreign text are common and must not be
// looked up or logged).
constexpr size_t kMaxEntityName = 32;

bool IsEntityNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '#';
}

bool IsValidCodePoint(uint32_t v) {
  return v >= 1 && v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF);
}

void AppendUtf8(std::string& out, uint32_t code) {
  char buf[8];
  int n = g_unichar_to_utf8(code, buf);
  out.append(buf, size_t(n));
}

// Decodes "#13", "#xHH..." (lower-case x) and "#DDD...": every character after the
// prefix must be a digit and the value a Unicode scalar value. False leaves the
// reference as written.
bool DecodeNumeric(const char* name, size_t len, std::string& out) {
  if (len == 3 && memcmp(name, "#13", 3) == 0) {
    out += '\n';
    return true;
  }
  bool hex = len >= 2 && name[1] == 'x';
  size_t i = hex ? 2 : 1;
  if (i >= len) return false;
  uint32_t value = 0;
  for (; i < len; ++i) {
    int d = hex ? hexVal(name[i]) : (name[i] >= '0' && name[i] <= '9' ? name[i] - '0' : -1);
    if (d < 0) return false;
    value = value * (hex ? 16 : 10) + uint32_t(d);
    if (value > 0x10FFFF) return false;
  }
  if (!IsValidCodePoint(value)) return false;
  AppendUtf8(out, value);
  return true;
}

}  // namespace

namespace quillery {

size_t DecodeReferenceAt(const char* data, size_t n, size_t pos, std::string* out, bool* unknownName) {
  if (unknownName) *unknownName = false;
  if (pos >= n || data[pos] != '&') return 0;
  size_t j = pos + 1;
  while (j < n && j - pos - 1 <= kMaxEntityName && IsEntityNameChar(data[j])) ++j;
  const size_t nameLen = j - pos - 1;
  if (j >= n || data[j] != ';' || nameLen < 1 || nameLen > kMaxEntityName) return 0;
  const char* name = data + pos + 1;
  std::string scratch;
  std::string& dest = out ? *out : scratch;
  if (name[0] == '#') return DecodeNumeric(name, nameLen, dest) ? nameLen + 2 : 0;
  if (uint32_t code = HtmlEntityLookup(name, nameLen)) {
    AppendUtf8(dest, code);
    return nameLen + 2;
  }
  if (unknownName) *unknownName = true;
  return 0;
}

}  // namespace quillery
