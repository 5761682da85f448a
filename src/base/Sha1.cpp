#include "base/Sha1.h"

#include <cstring>
#include <openssl/evp.h>

struct CSHA1::Ctx {
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  ~Ctx() { EVP_MD_CTX_free(md); }
};

CSHA1::CSHA1() : m_ctx(new Ctx) { Reset(); }

CSHA1::~CSHA1() = default;

void CSHA1::Reset() {
  memset(m_digest, 0, sizeof(m_digest));
  EVP_DigestInit_ex(m_ctx->md, EVP_sha1(), nullptr);
}

void CSHA1::Update(const void* data, size_t length) {
  if (length > 0) EVP_DigestUpdate(m_ctx->md, data, length);
}

void CSHA1::Final() {
  unsigned int len = 0;
  EVP_DigestFinal_ex(m_ctx->md, m_digest, &len);
}

void CSHA1::GetHash(unsigned char* out20) const { memcpy(out20, m_digest, kDigestSize); }

void CSHA1::ReportHash(std::string& out) const {
  static const char kHex[] = "0123456789abcdef";
  out.resize(kDigestSize * 2);
  for (size_t i = 0; i < kDigestSize; ++i) {
    out[2 * i] = kHex[m_digest[i] >> 4];
    out[2 * i + 1] = kHex[m_digest[i] & 15];
  }
}

std::string CSHA1::ReportHash() const {
  std::string out;
  ReportHash(out);
  return out;
}

std::string CSHA1::HexDigest(const void* data, size_t length) {
  CSHA1 sha;
  sha.Update(data, length);
  sha.Final();
  return sha.ReportHash();
}
