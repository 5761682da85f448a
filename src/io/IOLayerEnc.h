#pragma once

#include <vector>

#include "io/BlowFish.h"
#include "io/IOLayerBase.h"

// IOLayerEnc: the Blowfish stage of an I/O chain. Write mode enciphers what it is given
// (ECB, zero-padded to whole blocks at Finalize) and pushes the cipher text on; read
// mode deciphers and pushes the plain text on.
//
// The output never depends on how the input was cut into calls: in write mode bytes are
// staged in a 1,024-byte buffer, 1,024 enciphered bytes leave whenever it fills and the
// padded rest leaves at Finalize; in read mode every whole block leaves at once (in
// pieces of up to kReadPiece bytes, deciphered straight from the input into the stage's
// own buffer) and 0 to 7 leftover bytes wait for the rest of their block. A read stream
// that ends inside a block is damaged: Finalize marks the stage failed.
//
// The stage refuses all data (and fails) until SetPassword has keyed it. Errors are
// sticky as for every stage. Key material lives in the cipher, plain text in the
// stage's buffers: both are wiped when the stage is destroyed. The password is never
// logged.
class IOLayerEnc : public IOLayerBase {
 public:
  static constexpr int kBufferSize = 1024;
  static constexpr int kReadPiece = 64 * 1024;

  IOLayerEnc();
  ~IOLayerEnc() override;

  // Keys the cipher with the password's bytes (no salt, no derivation); false for a
  // null or empty password, which leaves the stage unkeyed.
  bool SetPassword(const char* password);

  char* GetOutBuffer() override { return nullptr; }
  int Process(char* data, int len) override;
  int Finalize() override;

  // Bytes waiting in the staging buffer.
  int GetPendingCount() const { return m_nFill; }
  // Bytes enciphered (write) or taken for deciphering (read) by the last call.
  int GetLastCipherCount() const { return m_nLastCipherCount; }

 private:
  int Write(const char* data, int len);
  int Read(const char* data, int len);

  CBlowFish m_cipher;
  unsigned char m_buffer[kBufferSize];  // write: staged plain text; read: a partial block
  std::vector<unsigned char> m_plain;   // read: deciphered output, kReadPiece bytes
  int m_nFill;
  int m_nLastCipherCount;
  bool m_bKeyed;
};
