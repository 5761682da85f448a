#include "OutputText.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "HostCommands.h"

namespace quillery_host {
namespace {

// The length of the well-formed UTF-8 sequence at s[i] (shortest form, no
// surrogates, at most U+10FFFF), or 0.
size_t Utf8Length(const std::string& s, size_t i, unsigned& cp) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  size_t n;
  unsigned min;
  if (c >= 0xC2 && c <= 0xDF) n = 2, cp = c & 0x1Fu, min = 0x80;
  else if (c >= 0xE0 && c <= 0xEF) n = 3, cp = c & 0x0Fu, min = 0x800;
  else if (c >= 0xF0 && c <= 0xF4) n = 4, cp = c & 0x07u, min = 0x10000;
  else return 0;
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    const unsigned char d = static_cast<unsigned char>(s[i + k]);
    if ((d & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (d & 0x3Fu);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

}  // namespace

std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  char buf[16];
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    if (c < 0x80) {
      const char* named = nullptr;
      switch (c) {
        case '\a': named = "\\a"; break;
        case '\b': named = "\\b"; break;
        case '\t': named = "\\t"; break;
        case '\n': named = "\\n"; break;
        case '\v': named = "\\v"; break;
        case '\f': named = "\\f"; break;
        case '\r': named = "\\r"; break;
        default: break;
      }
      if (!named) snprintf(buf, sizeof(buf), "\\x%02x", c);
      out += named ? named : buf;
      ++i;
      continue;
    }
    unsigned cp = 0;
    const size_t n = Utf8Length(text, i, cp);
    if (n == 0) {
      snprintf(buf, sizeof(buf), "\\x%02x", c);
      out += buf;
      ++i;
    } else if (cp <= 0x9F) {
      snprintf(buf, sizeof(buf), "\\u%04x", cp);
      out += buf;
      i += n;
    } else {
      out.append(text, i, n);
      i += n;
    }
  }
  return out;
}

std::string Counted(long long n, const char* noun) {
  return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

int FinishOutput(int status, int failedStatus) {
  errno = 0;
  const bool flushed = fflush(stdout) == 0;
  if (flushed && !ferror(stdout)) return status;
  const int err = errno;
  fprintf(stderr, "cannot write the output: %s\n", err ? strerror(err) : "write error");
  return status == kExitOk || status == kExitFailed ? failedStatus : status;
}

}  // namespace quillery_host
