#include "base/StringUtil.h"

#include <cstring>

void replaceall(std::string& str, const char* s, int slen, const char* r, int rlen) {
  if (!s) return;
  size_t sl = slen < 0 ? strlen(s) : static_cast<size_t>(slen);
  if (sl == 0) return;
  size_t rl = !r ? 0 : (rlen < 0 ? strlen(r) : static_cast<size_t>(rlen));

  size_t pos = str.find(s, 0, sl);
  if (pos == std::string::npos) return;
  // Build the result in one pass so that many hits stay linear.
  std::string out;
  out.reserve(str.size());
  size_t from = 0;
  while (pos != std::string::npos) {
    out.append(str, from, pos - from);
    if (rl) out.append(r, rl);
    from = pos + sl;
    pos = str.find(s, from, sl);
  }
  out.append(str, from, std::string::npos);
  str.swap(out);
}

void replaceall(std::string& str, char from, char to) {
  // Usually there is nothing or little to replace: memchr skips ahead.
  char* const d = &str[0];
  const size_t n = str.size();
  for (char* p = static_cast<char*>(memchr(d, from, n)); p;
       p = static_cast<char*>(memchr(p + 1, from, n - size_t(p + 1 - d))))
    *p = to;
}

bool StringsEqual(const std::string& a, const std::string& b) { return a == b; }

bool StringsEqual(const char* a, const char* b) {
  if (!a || !b) return a == b;
  return strcmp(a, b) == 0;
}

namespace quillery {

size_t Utf8CharLen(const char* s, size_t len, size_t pos) {
  unsigned char b = static_cast<unsigned char>(s[pos]);
  size_t want;
  if (b < 0xC0 || b >= 0xF8)
    want = 1;  // ASCII, stray continuation byte or invalid lead
  else if (b < 0xE0)
    want = 2;
  else if (b < 0xF0)
    want = 3;
  else
    want = 4;
  size_t n = 1;
  while (n < want && pos + n < len &&
         (static_cast<unsigned char>(s[pos + n]) & 0xC0) == 0x80)
    ++n;
  return n;
}

size_t Utf8CharCount(const char* s, size_t len) {
  if (!s) return 0;
  size_t count = 0;
  // ASCII, the common case, is stepped over without the call.
  for (size_t pos = 0; pos < len; pos += static_cast<unsigned char>(s[pos]) < 0x80 ? 1 : Utf8CharLen(s, len, pos))
    ++count;
  return count;
}

size_t Utf8CharToByteOffset(const char* s, size_t len, long long charOffset) {
  if (!s || charOffset <= 0) return 0;
  size_t pos = 0;
  for (long long i = 0; i < charOffset && pos < len; ++i)
    pos += static_cast<unsigned char>(s[pos]) < 0x80 ? 1 : Utf8CharLen(s, len, pos);
  return pos;
}

}  // namespace quillery
