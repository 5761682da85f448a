#pragma once

#include <array>
#include <cstdint>

// CBlowFish: the Blowfish block cipher (16 rounds, 64-bit blocks) used in ECB mode by
// the encrypted document container.
//
// Byte order is the compatibility point every stored file depends on: the two 32-bit
// halves of an 8-byte block are little-endian words (left = bytes 0-3, right = bytes
// 4-7), while the key schedule reads the key as big-endian words, as published.
//
// Invariants: the P-array and S-boxes always hold either the initial pi tables or a
// complete key schedule; a refused key leaves them unchanged. The object owns its tables
// by value and wipes them on destruction; it is not copyable (a copy would duplicate
// key material).
class CBlowFish {
 public:
  static constexpr unsigned int kBlockSize = 8;

  CBlowFish();
  ~CBlowFish();
  CBlowFish(const CBlowFish&) = delete;
  CBlowFish& operator=(const CBlowFish&) = delete;

  // Runs the key schedule from the initial tables. Keys of any length of at least one
  // byte are accepted (only the first 72 bytes matter); a null or empty key is refused
  // with false and the tables are left as they were.
  bool Initialize(const unsigned char* key, int keyLen);

  // n rounded up to a multiple of the block size.
  static unsigned int GetOutputLength(unsigned int n);

  // Enciphers n bytes, zero-padding the last partial block; writes GetOutputLength(n)
  // bytes to out and returns that count. Reads only n bytes of in. in and out may be
  // the same buffer (which then needs room for the padded length).
  unsigned int Encode(const unsigned char* in, unsigned char* out, unsigned int n) const;

  // Deciphers the whole blocks among the n bytes and returns how many bytes that is
  // (n rounded down to a multiple of 8); a trailing partial block is left untouched.
  // in and out may be the same buffer.
  unsigned int Decode(const unsigned char* in, unsigned char* out, unsigned int n) const;

  void Blowfish_encipher(std::uint32_t* left, std::uint32_t* right) const;
  void Blowfish_decipher(std::uint32_t* left, std::uint32_t* right) const;

 private:
  std::uint32_t F(std::uint32_t x) const;
  void ResetTables();

  std::array<std::uint32_t, 18> m_P;
  std::array<std::array<std::uint32_t, 256>, 4> m_S;
};
