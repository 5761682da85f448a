#include "base/Base64.h"

#include <cstring>
#include <initializer_list>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const size_t kLineLength = 72;

// 0..63 for alphabet bytes, 64 for skipped whitespace, 65 for "=", and 0 for
// everything else (counted as a zero digit).
struct DecodeTable {
  unsigned char v[256];
  DecodeTable() {
    memset(v, 0, sizeof(v));
    for (int i = 0; i < 64; ++i) Set(kAlphabet[i], i);
    for (char c : {'-', '.'}) Set(c, 62);
    for (char c : {'_', ','}) Set(c, 63);
    for (char c : {' ', '\t', '\n', '\v', '\f', '\r'}) Set(c, 64);
    Set('=', 65);
  }
  // Indexes by the byte's unsigned value (a plain char may be signed).
  void Set(char c, int value) { v[static_cast<unsigned char>(c)] = static_cast<unsigned char>(value); }
};

}  // namespace

void b64encode(const void* data, int len, std::string& out, bool pad) {
  out.clear();
  if (!data || len <= 0) return;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  const size_t n = static_cast<size_t>(len);
  const size_t chars = (n + 2) / 3 * 4;
  out.reserve(chars + chars / kLineLength + 1);

  size_t lineFill = 0;
  auto put = [&](char c) {
    out.push_back(c);
    if (++lineFill == kLineLength) {
      out.push_back('\n');
      lineFill = 0;
    }
  };
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    unsigned v = (p[i] << 16) | (p[i + 1] << 8) | p[i + 2];
    put(kAlphabet[(v >> 18) & 63]);
    put(kAlphabet[(v >> 12) & 63]);
    put(kAlphabet[(v >> 6) & 63]);
    put(kAlphabet[v & 63]);
  }
  if (i < n) {
    unsigned v = p[i] << 16;
    if (i + 1 < n) v |= p[i + 1] << 8;
    put(kAlphabet[(v >> 18) & 63]);
    put(kAlphabet[(v >> 12) & 63]);
    if (i + 1 < n)
      put(kAlphabet[(v >> 6) & 63]);
    else if (pad)
      put('=');
    if (pad) put('=');
  }
}

void b64decode(const char* data, int len, std::string& out) {
  static const DecodeTable table;
  out.clear();
  if (!data) return;
  const size_t n = len < 0 ? strlen(data) : static_cast<size_t>(len);
  out.reserve(n / 4 * 3 + 3);

  unsigned acc = 0;
  int digits = 0;
  for (size_t i = 0; i < n; ++i) {
    unsigned char d = table.v[static_cast<unsigned char>(data[i])];
    if (d == 64) continue;
    if (d == 65) break;
    acc = (acc << 6) | d;
    if (++digits == 4) {
      out.push_back(static_cast<char>((acc >> 16) & 0xFF));
      out.push_back(static_cast<char>((acc >> 8) & 0xFF));
      out.push_back(static_cast<char>(acc & 0xFF));
      acc = 0;
      digits = 0;
    }
  }
  // A tail of 2 or 3 digits carries 1 or 2 bytes; a lone digit carries none.
  if (digits == 2) {
    out.push_back(static_cast<char>((acc >> 4) & 0xFF));
  } else if (digits == 3) {
    out.push_back(static_cast<char>((acc >> 10) & 0xFF));
    out.push_back(static_cast<char>((acc >> 2) & 0xFF));
  }
}
