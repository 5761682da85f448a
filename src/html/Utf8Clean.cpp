#include "html/Utf8Clean.h"

#include <glib.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace quillery {

namespace {

// Length of the leading run of ASCII bytes other than NUL, 16 (or 8) bytes at a time.
size_t CleanAsciiPrefix(const char* p, size_t n) {
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  for (; i + 16 <= n; i += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    // A high bit, or a zero byte, ends the run.
    unsigned mask = unsigned(_mm_movemask_epi8(_mm_or_si128(v, _mm_cmpeq_epi8(v, zero))));
    if (mask) return i + size_t(__builtin_ctz(mask));
  }
#endif
  const uint64_t high = 0x8080808080808080ULL;
  const uint64_t ones = 0x0101010101010101ULL;
  for (; i + 8 <= n; i += 8) {
    uint64_t v;
    memcpy(&v, p + i, 8);
    // The lowest flagged byte is exact (the zero test may also flag bytes above it).
    uint64_t bad = (v & high) | ((v - ones) & ~v & high);
    if (bad) {
      if (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) return i + size_t(__builtin_ctzll(bad) / 8);
      break;
    }
  }
  while (i < n && p[i] != 0 && static_cast<unsigned char>(p[i]) < 0x80) ++i;
  return i;
}

// Length of the well-formed UTF-8 sequence of two to four bytes at p, or 0.
size_t MultibyteLength(const unsigned char* p, size_t left) {
  const unsigned char c = p[0];
  auto cont = [&](size_t i) { return i < left && (p[i] & 0xC0) == 0x80; };
  if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (left < 3 || !cont(2)) return 0;
    const unsigned char d = p[1];
    const bool ok = c == 0xE0   ? (d >= 0xA0 && d <= 0xBF)
                    : c == 0xED ? (d >= 0x80 && d <= 0x9F)  // no surrogates
                                : (d & 0xC0) == 0x80;
    return ok ? 3 : 0;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (left < 4 || !cont(2) || !cont(3)) return 0;
    const unsigned char d = p[1];
    const bool ok = c == 0xF0   ? (d >= 0x90 && d <= 0xBF)
                    : c == 0xF4 ? (d >= 0x80 && d <= 0x8F)  // up to U+10FFFF
                                : (d & 0xC0) == 0x80;
    return ok ? 4 : 0;
  }
  return 0;
}

}  // namespace

bool IsCleanUtf8(const char* p, size_t n) {
  const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
  size_t i = 0;
  while (i < n) {
    i += CleanAsciiPrefix(p + i, n - i);
    if (i >= n) break;
    if (u[i] == 0) return false;
    size_t len = MultibyteLength(u + i, n - i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

void DropNulBytes(std::string& text) {
  if (memchr(text.data(), 0, text.size()))
    text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
}

void MakeValidUtf8(std::string& text) {
  if (IsCleanUtf8(text.data(), text.size())) return;
  DropNulBytes(text);
  if (IsCleanUtf8(text.data(), text.size())) return;
  gchar* valid = g_utf8_make_valid(text.data(), gssize(text.size()));
  text.assign(valid);
  g_free(valid);
}

}  // namespace quillery
