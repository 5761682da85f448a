#include "html/HtmlTextUtils.h"

#include <cstring>

bool StringStartsWith(const std::string& s, const char* prefix, int n) {
  if (!prefix || n < 0 || s.size() <= size_t(n)) return false;
  return memcmp(s.data(), prefix, size_t(n)) == 0;
}

bool StringEndsWith(const std::string& s, const char* suffix, int n) {
  if (!suffix || n < 0 || s.size() <= size_t(n)) return false;
  return memcmp(s.data() + s.size() - size_t(n), suffix, size_t(n)) == 0;
}

int hexVal(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

namespace {

// Whether a blank stands at the start of a line (left) or at its end (not
// left): only then does trimming change anything. Most texts with blanks
// (attribute values, styles) have none there and are not copied.
bool HasBlankAtLineEdge(const std::string& s, bool left) {
  const char* const d = s.data();
  const size_t n = s.size();
  for (const char* p = static_cast<const char*>(memchr(d, ' ', n)); p;
       p = static_cast<const char*>(memchr(p + 1, ' ', n - size_t(p + 1 - d)))) {
    const size_t i = size_t(p - d);
    if (left ? (i == 0 || d[i - 1] == '\n') : (i + 1 == n || d[i + 1] == '\n')) return true;
  }
  return false;
}

}  // namespace

void trimstring_left(std::string& s) {
  if (!HasBlankAtLineEdge(s, true)) return;
  std::string out;
  out.reserve(s.size());
  bool lineStart = true;
  for (char c : s) {
    if (c == ' ' && lineStart) continue;
    lineStart = (c == '\n');
    out += c;
  }
  s.swap(out);
}

void trimstring_right(std::string& s) {
  if (!HasBlankAtLineEdge(s, false)) return;
  std::string out;
  out.reserve(s.size());
  size_t blanks = 0;  // blanks seen but not yet written: kept only if the line goes on
  for (char c : s) {
    if (c == ' ') {
      ++blanks;
      continue;
    }
    if (c != '\n' && blanks) out.append(blanks, ' ');
    blanks = 0;
    out += c;
  }
  s.swap(out);
}

void trimstring(std::string& s) {
  trimstring_right(s);
  trimstring_left(s);
}
