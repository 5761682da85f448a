#include "io/IOLayerEnc.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/Log.h"

IOLayerEnc::IOLayerEnc() : m_nFill(0), m_nLastCipherCount(0), m_bKeyed(false) {
  std::memset(m_buffer, 0, sizeof(m_buffer));
}

IOLayerEnc::~IOLayerEnc() {
  OPENSSL_cleanse(m_buffer, sizeof(m_buffer));
  if (!m_plain.empty()) OPENSSL_cleanse(m_plain.data(), m_plain.size());
}

bool IOLayerEnc::SetPassword(const char* password) {
  if (!password || !*password) return false;
  m_bKeyed = m_cipher.Initialize(reinterpret_cast<const unsigned char*>(password),
                                 static_cast<int>(std::strlen(password)));
  return m_bKeyed;
}

int IOLayerEnc::Process(char* data, int len) {
  if (HasError()) return -1;
  if (!m_bKeyed) {
    xLog(LOG_ERROR, "IOLayerEnc: used without a key\n");
    SetError(EINVAL);
    return -1;
  }
  return IsWriteMode() ? Write(data, len) : Read(data, len);
}

int IOLayerEnc::Write(const char* data, int len) {
  m_nLastCipherCount = 0;
  if (!data || len < 1) return 0;
  CountIn(len);
  int result = 0;
  int offset = 0;
  while (offset < len) {
    const int take = std::min(len - offset, kBufferSize - m_nFill);
    std::memcpy(m_buffer + m_nFill, data + offset, static_cast<size_t>(take));
    m_nFill += take;
    offset += take;
    if (m_nFill < kBufferSize) break;
    m_cipher.Encode(m_buffer, m_buffer, kBufferSize);
    m_nFill = 0;
    m_nLastCipherCount += kBufferSize;
    CountOut(kBufferSize);
    const int r = PassOn(reinterpret_cast<char*>(m_buffer), kBufferSize);
    if (HasError()) return -1;
    result += r;
  }
  SetLastCount(m_nLastCipherCount);
  return result;
}

int IOLayerEnc::Read(const char* data, int len) {
  m_nLastCipherCount = 0;
  if (!data || len < 1) return len;
  CountIn(len);
  m_nLastCipherCount = len;
  SetLastCount(len);
  const unsigned char* in = reinterpret_cast<const unsigned char*>(data);
  const int block = static_cast<int>(CBlowFish::kBlockSize);
  int result = 0;
  int offset = 0;
  if (m_nFill > 0) {
    // First the rest of the block the last call ended inside.
    const int take = std::min(len, block - m_nFill);
    std::memcpy(m_buffer + m_nFill, in, static_cast<size_t>(take));
    m_nFill += take;
    offset = take;
    if (m_nFill < block) return result;
    m_cipher.Decode(m_buffer, m_buffer, static_cast<unsigned int>(block));
    m_nFill = 0;
    CountOut(block);
    result = PassOn(reinterpret_cast<char*>(m_buffer), block);
  }
  if (len - offset >= block && m_plain.empty()) m_plain.resize(kReadPiece);
  while (len - offset >= block) {
    const int whole = std::min((len - offset) / block * block, kReadPiece);
    m_cipher.Decode(in + offset, m_plain.data(), static_cast<unsigned int>(whole));
    offset += whole;
    CountOut(whole);
    result = PassOn(reinterpret_cast<char*>(m_plain.data()), whole);
  }
  // The 0 to 7 bytes of an unfinished block wait for the next call.
  m_nFill = len - offset;
  std::memcpy(m_buffer, in + offset, static_cast<size_t>(m_nFill));
  return result;
}

int IOLayerEnc::Finalize() {
  if (IsWriteMode()) {
    int enciphered = 0;
    if (m_nFill > 0 && !HasError()) {
      enciphered = static_cast<int>(
          m_cipher.Encode(m_buffer, m_buffer, static_cast<unsigned int>(m_nFill)));
      m_nFill = 0;
      m_nLastCipherCount = enciphered;
      CountOut(enciphered);
      PassOn(reinterpret_cast<char*>(m_buffer), enciphered);
    }
    const int r = FinalizeNext();
    if (r < 0) return -1;
    return m_pNext ? r : enciphered;
  }
  if (m_nFill > 0) {
    xLog(LOG_INFO, "IOLayerEnc: the cipher text ends inside a block (%d bytes left over)\n",
         m_nFill);
    SetError();
    m_nFill = 0;
  }
  return FinalizeNext();
}
