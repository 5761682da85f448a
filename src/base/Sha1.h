#pragma once

// SHA-1 digest (FIPS 180-1). Feed bytes with Update, complete with Final,
// then read the 20-byte digest or its 40-digit lower-case hex report.
// Reset starts a new digest. Owns one libcrypto digest context; not copyable.

#include <cstddef>
#include <memory>
#include <string>

class CSHA1 {
 public:
  static const size_t kDigestSize = 20;

  CSHA1();
  ~CSHA1();
  CSHA1(const CSHA1&) = delete;
  CSHA1& operator=(const CSHA1&) = delete;

  void Reset();
  void Update(const void* data, size_t length);
  void Final();

  // Valid after Final: the 20 digest bytes.
  const unsigned char* GetHash() const { return m_digest; }
  void GetHash(unsigned char* out20) const;
  // Valid after Final: 40 lower-case hex digits.
  void ReportHash(std::string& out) const;
  std::string ReportHash() const;

  // One-shot: the hex digest of a byte range.
  static std::string HexDigest(const void* data, size_t length);
  static std::string HexDigest(const std::string& data) {
    return HexDigest(data.data(), data.size());
  }

 private:
  struct Ctx;
  std::unique_ptr<Ctx> m_ctx;
  unsigned char m_digest[kDigestSize];
};
