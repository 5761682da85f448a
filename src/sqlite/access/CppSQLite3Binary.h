#pragma once

// CppSQLite3Binary: binary data encoded as text without NUL bytes and without
// apostrophes, so that it can be pasted into SQL text; and back.
//
// Invariants: the buffer (malloc'ed, owned) is null when empty; while
// mbEncoded is set it holds the NUL-terminated encoded text (mnEncodedLen bytes
// before the NUL), otherwise the mnBinaryLen raw bytes. mnBufferLen is the
// number of bytes allocated, always enough for the encoding of the raw bytes.

class CppSQLite3Exception;

class CppSQLite3Binary {
 public:
  CppSQLite3Binary() = default;
  ~CppSQLite3Binary();
  CppSQLite3Binary(const CppSQLite3Binary&) = delete;
  CppSQLite3Binary& operator=(const CppSQLite3Binary&) = delete;

  void setBinary(const unsigned char* data, int length, CppSQLite3Exception* err = nullptr);
  void setEncoded(const char* text, CppSQLite3Exception* err = nullptr);
  // The encoded text (encodes the raw bytes first when needed).
  const unsigned char* getEncoded();
  // The raw bytes (decodes first when needed); null on a malformed encoding.
  const unsigned char* getBinary(CppSQLite3Exception* err = nullptr);
  int getBinaryLength();
  // Room for length raw bytes and their encoding; null when refused.
  unsigned char* allocBuffer(int length, CppSQLite3Exception* err = nullptr);
  void clear();

 private:
  unsigned char* mpBuf = nullptr;
  int mnBinaryLen = 0;
  int mnBufferLen = 0;
  int mnEncodedLen = 0;
  bool mbEncoded = false;
};

// Encodes n bytes of in into out, which needs room for n * 257 / 254 + 2 bytes;
// returns the length of the text written (without its terminating NUL).
int sqlite3_encode_binary(const unsigned char* in, int n, unsigned char* out);
// Decodes NUL-terminated text from in into out (which may equal in); returns the
// number of bytes written, or -1 for a malformed text.
int sqlite3_decode_binary(const unsigned char* in, unsigned char* out);
