#include "io/BlowFish.h"

#include <openssl/crypto.h>

#include <cstring>
#include <utility>

#include "io/BlowFishTables.h"

namespace {

constexpr int kRounds = 16;

std::uint32_t LoadLE32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void StoreLE32(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

// Blocks ciphered side by side by Encode and Decode. One block's rounds form a single
// chain of dependent table lookups; independent blocks interleaved keep the core busy
// while each lookup waits for the last.
constexpr unsigned int kLanes = 8;

using SBoxes = std::array<std::array<std::uint32_t, 256>, 4>;

inline std::uint32_t Round(const SBoxes& s, std::uint32_t x) {
  return ((s[0][x >> 24] + s[1][(x >> 16) & 0xFF]) ^ s[2][(x >> 8) & 0xFF]) + s[3][x & 0xFF];
}

// kLanes blocks from in to out (which may be the same bytes): the rounds of
// Blowfish_encipher (or, with decipher, Blowfish_decipher) taken two at a time, so the
// halves never swap until the end.
template <bool decipher>
void CipherLanes(const std::array<std::uint32_t, 18>& p, const SBoxes& s, const unsigned char* in,
                 unsigned char* out) {
  std::uint32_t l[kLanes];
  std::uint32_t r[kLanes];
  for (unsigned int k = 0; k < kLanes; ++k) {
    l[k] = LoadLE32(in + 8 * k);
    r[k] = LoadLE32(in + 8 * k + 4);
  }
  for (int i = 0; i < kRounds; i += 2) {
    const std::uint32_t p0 = decipher ? p[kRounds + 1 - i] : p[i];
    const std::uint32_t p1 = decipher ? p[kRounds - i] : p[i + 1];
    for (unsigned int k = 0; k < kLanes; ++k) {
      l[k] ^= p0;
      r[k] ^= Round(s, l[k]);
    }
    for (unsigned int k = 0; k < kLanes; ++k) {
      r[k] ^= p1;
      l[k] ^= Round(s, r[k]);
    }
  }
  const std::uint32_t outLeft = decipher ? p[0] : p[kRounds + 1];
  const std::uint32_t outRight = decipher ? p[1] : p[kRounds];
  for (unsigned int k = 0; k < kLanes; ++k) {
    StoreLE32(out + 8 * k, r[k] ^ outLeft);
    StoreLE32(out + 8 * k + 4, l[k] ^ outRight);
  }
}

}  // namespace

CBlowFish::CBlowFish() { ResetTables(); }

CBlowFish::~CBlowFish() {
  OPENSSL_cleanse(m_P.data(), sizeof(m_P));
  OPENSSL_cleanse(m_S.data(), sizeof(m_S));
}

void CBlowFish::ResetTables() {
  std::memcpy(m_P.data(), quillery::kBlowFishInitP, sizeof(m_P));
  for (int b = 0; b < 4; ++b)
    std::memcpy(m_S[b].data(), quillery::kBlowFishInitS[b], sizeof(m_S[b]));
}

bool CBlowFish::Initialize(const unsigned char* key, int keyLen) {
  if (key == nullptr || keyLen < 1)
    return false;  // an empty key has no schedule (and j mod 0 would be undefined)

  ResetTables();
  int j = 0;
  for (auto& p : m_P) {
    std::uint32_t word = 0;
    for (int k = 0; k < 4; ++k) {
      word = (word << 8) | key[j];
      j = (j + 1) % keyLen;
    }
    p ^= word;
  }

  std::uint32_t left = 0;
  std::uint32_t right = 0;
  for (std::size_t i = 0; i < m_P.size(); i += 2) {
    Blowfish_encipher(&left, &right);
    m_P[i] = left;
    m_P[i + 1] = right;
  }
  for (auto& box : m_S) {
    for (std::size_t i = 0; i < box.size(); i += 2) {
      Blowfish_encipher(&left, &right);
      box[i] = left;
      box[i + 1] = right;
    }
  }
  left = right = 0;
  return true;
}

unsigned int CBlowFish::GetOutputLength(unsigned int n) {
  return (n + (kBlockSize - 1)) / kBlockSize * kBlockSize;
}

std::uint32_t CBlowFish::F(std::uint32_t x) const {
  const std::uint32_t a = (x >> 24) & 0xFF;
  const std::uint32_t b = (x >> 16) & 0xFF;
  const std::uint32_t c = (x >> 8) & 0xFF;
  const std::uint32_t d = x & 0xFF;
  return ((m_S[0][a] + m_S[1][b]) ^ m_S[2][c]) + m_S[3][d];
}

void CBlowFish::Blowfish_encipher(std::uint32_t* left, std::uint32_t* right) const {
  std::uint32_t l = *left;
  std::uint32_t r = *right;
  for (int i = 0; i < kRounds; ++i) {
    l ^= m_P[i];
    r ^= F(l);
    std::swap(l, r);
  }
  std::swap(l, r);
  r ^= m_P[kRounds];
  l ^= m_P[kRounds + 1];
  *left = l;
  *right = r;
}

void CBlowFish::Blowfish_decipher(std::uint32_t* left, std::uint32_t* right) const {
  std::uint32_t l = *left;
  std::uint32_t r = *right;
  for (int i = kRounds + 1; i > 1; --i) {
    l ^= m_P[i];
    r ^= F(l);
    std::swap(l, r);
  }
  std::swap(l, r);
  r ^= m_P[1];
  l ^= m_P[0];
  *left = l;
  *right = r;
}

unsigned int CBlowFish::Encode(const unsigned char* in, unsigned char* out, unsigned int n) const {
  const unsigned int whole = n / kBlockSize * kBlockSize;
  unsigned int off = 0;
  for (; off + kLanes * kBlockSize <= whole; off += kLanes * kBlockSize)
    CipherLanes<false>(m_P, m_S, in + off, out + off);
  for (; off < whole; off += kBlockSize) {
    std::uint32_t l = LoadLE32(in + off);
    std::uint32_t r = LoadLE32(in + off + 4);
    Blowfish_encipher(&l, &r);
    StoreLE32(out + off, l);
    StoreLE32(out + off + 4, r);
  }
  if (whole == n) return n;

  // The last partial block is zero-padded in a local block, so in is never read past n.
  unsigned char block[kBlockSize] = {};
  std::memcpy(block, in + whole, n - whole);
  std::uint32_t l = LoadLE32(block);
  std::uint32_t r = LoadLE32(block + 4);
  Blowfish_encipher(&l, &r);
  StoreLE32(out + whole, l);
  StoreLE32(out + whole + 4, r);
  OPENSSL_cleanse(block, sizeof(block));
  return whole + kBlockSize;
}

unsigned int CBlowFish::Decode(const unsigned char* in, unsigned char* out, unsigned int n) const {
  const unsigned int whole = n / kBlockSize * kBlockSize;
  unsigned int off = 0;
  for (; off + kLanes * kBlockSize <= whole; off += kLanes * kBlockSize)
    CipherLanes<true>(m_P, m_S, in + off, out + off);
  for (; off < whole; off += kBlockSize) {
    std::uint32_t l = LoadLE32(in + off);
    std::uint32_t r = LoadLE32(in + off + 4);
    Blowfish_decipher(&l, &r);
    StoreLE32(out + off, l);
    StoreLE32(out + off + 4, r);
  }
  return whole;
}
