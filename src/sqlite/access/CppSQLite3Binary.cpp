#include "sqlite/access/CppSQLite3Binary.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "sqlite/access/CppSQLite3Exception.h"

using quillery::SqliteReport;

int sqlite3_encode_binary(const unsigned char* in, int n, unsigned char* out) {
  if (n <= 0) {
    out[0] = 'x';
    out[1] = 0;
    return 1;
  }
  int cnt[256] = {};
  for (int i = 0; i < n; i++) cnt[in[i]]++;
  // The offset is chosen so that as few bytes as possible need an escape:
  // after subtracting it, the values 0 (NUL), 1 (the escape) and 39 (the
  // apostrophe) are the ones written as two bytes.
  int e = 0;
  int best = n;
  for (int i = 1; i < 256; i++) {
    if (i == '\'') continue;
    int sum = cnt[i] + cnt[(i + 1) & 0xff] + cnt[(i + '\'') & 0xff];
    if (sum < best) {
      best = sum;
      e = i;
      if (sum == 0) break;
    }
  }
  int j = 0;
  out[j++] = static_cast<unsigned char>(e);
  for (int i = 0; i < n; i++) {
    int x = (in[i] - e) & 0xff;
    if (x == 0 || x == 1 || x == '\'') {
      out[j++] = 1;
      x = x == 0 ? 1 : x == 1 ? 2 : 3;
    }
    out[j++] = static_cast<unsigned char>(x);
  }
  out[j] = 0;
  return j;
}

int sqlite3_decode_binary(const unsigned char* in, unsigned char* out) {
  int e = in[0];
  if (e == 0) return -1;  // not even the offset byte
  int i = 1;
  int n = 0;
  int c;
  while ((c = in[i++]) != 0) {
    if (c == 1) {
      c = in[i++];
      if (c == 1) {
        c = 0;
      } else if (c == 2) {
        c = 1;
      } else if (c == 3) {
        c = '\'';
      } else {
        return -1;
      }
    }
    out[n++] = static_cast<unsigned char>((c + e) & 0xff);
  }
  return n;
}

CppSQLite3Binary::~CppSQLite3Binary() { clear(); }

void CppSQLite3Binary::clear() {
  free(mpBuf);
  mpBuf = nullptr;
  mnBinaryLen = 0;
  mnBufferLen = 0;
  mnEncodedLen = 0;
  mbEncoded = false;
}

unsigned char* CppSQLite3Binary::allocBuffer(int length, CppSQLite3Exception* err) {
  clear();
  // Computed wide: in int arithmetic large lengths would overflow into a
  // buffer too small for the encoding.
  long long size = length < 0 ? -1 : static_cast<long long>(length) * 257 / 254 + 3;
  if (size < 0 || size > INT_MAX) {
    SqliteReport(err, CPPSQLITE_ERROR, "Cannot allocate memory");
    return nullptr;
  }
  mpBuf = static_cast<unsigned char*>(malloc(static_cast<size_t>(size)));
  if (!mpBuf) {
    SqliteReport(err, CPPSQLITE_ERROR, "Cannot allocate memory");
    return nullptr;
  }
  mnBinaryLen = length;
  mnBufferLen = static_cast<int>(size);
  mbEncoded = false;
  return mpBuf;
}

void CppSQLite3Binary::setBinary(const unsigned char* data, int length, CppSQLite3Exception* err) {
  if (allocBuffer(length, err) && length > 0) memcpy(mpBuf, data, static_cast<size_t>(length));
}

void CppSQLite3Binary::setEncoded(const char* text, CppSQLite3Exception* err) {
  clear();
  if (!text) text = "";
  size_t len = strlen(text);
  if (len >= static_cast<size_t>(INT_MAX)) {
    SqliteReport(err, CPPSQLITE_ERROR, "Cannot allocate memory");
    return;
  }
  mpBuf = static_cast<unsigned char*>(malloc(len + 1));
  if (!mpBuf) {
    SqliteReport(err, CPPSQLITE_ERROR, "Cannot allocate memory");
    return;
  }
  memcpy(mpBuf, text, len + 1);
  mnEncodedLen = static_cast<int>(len);
  mnBufferLen = static_cast<int>(len + 1);
  mbEncoded = true;
}

const unsigned char* CppSQLite3Binary::getEncoded() {
  if (!mpBuf && !allocBuffer(0)) return nullptr;
  if (!mbEncoded) {
    unsigned char* raw = static_cast<unsigned char*>(malloc(mnBinaryLen > 0 ? mnBinaryLen : 1));
    if (!raw) return nullptr;
    if (mnBinaryLen > 0) memcpy(raw, mpBuf, static_cast<size_t>(mnBinaryLen));
    mnEncodedLen = sqlite3_encode_binary(raw, mnBinaryLen, mpBuf);
    free(raw);
    mbEncoded = true;
  }
  return mpBuf;
}

const unsigned char* CppSQLite3Binary::getBinary(CppSQLite3Exception* err) {
  if (!mpBuf) return nullptr;
  if (mbEncoded) {
    int n = sqlite3_decode_binary(mpBuf, mpBuf);
    if (n == -1) {
      SqliteReport(err, CPPSQLITE_ERROR, "Cannot decode binary");
      return nullptr;
    }
    mnBinaryLen = n;
    mbEncoded = false;
  }
  return mpBuf;
}

int CppSQLite3Binary::getBinaryLength() {
  getBinary();
  return mnBinaryLen;
}
