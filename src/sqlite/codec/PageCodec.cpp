#include "sqlite/codec/PageCodec.h"

#include <cstring>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sqlite3.h>

namespace {

// OpenSSL frees its state in an exit handler that its first use registers,
// and a database may be closed after that (a document in static storage,
// made before that use, rolls back its open transaction when destroyed
// at exit, deciphering journal pages). The cipher must outlive every file
// it serves: OpenSSL is told, while the program starts and before any use,
// to keep its state until the process is gone.
[[maybe_unused]] const bool g_cipherKeptAtExit = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;

// The password padding of the PDF standard security handler.
const unsigned char kPadding[32] = {
    0x28, 0xBF, 0x4E, 0x5E, 0x4E, 0x75, 0x8A, 0x41, 0x64, 0x00, 0x4E, 0x56, 0xFF, 0xFA, 0x01, 0x08,
    0x2E, 0x2E, 0x00, 0xB6, 0xD0, 0x68, 0x3E, 0x80, 0x2F, 0x0C, 0xA9, 0xFE, 0x64, 0x53, 0x69, 0x7A};

// Mixed into every page key. Fixed for the whole system: a file is readable
// only with the salt it was written with.
void BuildSalt(unsigned char salt[4]) {
  static const char kSeed[4] = {'Q', 'y', 'p', 'c'};
  for (int i = 0; i < 4; i++) salt[i] = static_cast<unsigned char>(kSeed[i] ^ (0x11 * (i + 1)));
}

void PutLE32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

void PageKey(const unsigned char key[kCodecKeySize], uint32_t pgno, unsigned char out[16]) {
  unsigned char in[24];
  memcpy(in, key, kCodecKeySize);
  PutLE32(in + 16, pgno);
  BuildSalt(in + 20);
  CodecGetMD5Binary(in, sizeof(in), out);
}

}  // namespace

Codec* CodecCreate() {
  Codec* codec = static_cast<Codec*>(sqlite3_malloc(sizeof(Codec)));
  if (!codec) return nullptr;
  CodecInit(codec);
  if (!codec->cipher) {
    sqlite3_free(codec);
    return nullptr;
  }
  return codec;
}

void CodecInit(Codec* codec) {
  codec->encrypted = 0;
  codec->hasReadKey = 0;
  codec->hasWriteKey = 0;
  memset(codec->readKey, 0, sizeof(codec->readKey));
  memset(codec->writeKey, 0, sizeof(codec->writeKey));
  codec->pageSize = 0;
  codec->cipher = EVP_CIPHER_CTX_new();
}

void CodecTerm(Codec* codec) {
  EVP_CIPHER_CTX_free(static_cast<EVP_CIPHER_CTX*>(codec->cipher));
  codec->cipher = nullptr;
  // Key material does not outlive the codec.
  OPENSSL_cleanse(codec->readKey, sizeof(codec->readKey));
  OPENSSL_cleanse(codec->writeKey, sizeof(codec->writeKey));
  OPENSSL_cleanse(codec->pageBuffer, sizeof(codec->pageBuffer));
}

void CodecSetIsEncrypted(Codec* codec, int encrypted) { codec->encrypted = encrypted; }
void CodecSetHasReadKey(Codec* codec, int has) { codec->hasReadKey = has; }
void CodecSetHasWriteKey(Codec* codec, int has) { codec->hasWriteKey = has; }
void CodecSetPageSize(Codec* codec, int pageSize) { codec->pageSize = pageSize; }
int CodecIsEncrypted(const Codec* codec) { return codec->encrypted; }
int CodecHasReadKey(const Codec* codec) { return codec->hasReadKey; }
int CodecHasWriteKey(const Codec* codec) { return codec->hasWriteKey; }
int CodecGetPageSize(const Codec* codec) { return codec->pageSize; }
unsigned char* CodecGetPageBuffer(Codec* codec) { return codec->pageBuffer; }

void CodecCopy(Codec* codec, const Codec* other) {
  codec->encrypted = other->encrypted;
  codec->hasReadKey = other->hasReadKey;
  codec->hasWriteKey = other->hasWriteKey;
  memcpy(codec->readKey, other->readKey, sizeof(codec->readKey));
  memcpy(codec->writeKey, other->writeKey, sizeof(codec->writeKey));
  codec->pageSize = other->pageSize;
  if (codec->cipher) EVP_CIPHER_CTX_reset(static_cast<EVP_CIPHER_CTX*>(codec->cipher));
}

void CodecCopyKey(Codec* codec, bool toWrite) {
  if (toWrite) {
    memcpy(codec->writeKey, codec->readKey, sizeof(codec->writeKey));
  } else {
    memcpy(codec->readKey, codec->writeKey, sizeof(codec->readKey));
  }
}

void CodecPadPassword(const void* password, int nKey, unsigned char padded[32]) {
  int n = nKey < 0 ? 0 : nKey > 32 ? 32 : nKey;
  if (n > 0) memcpy(padded, password, static_cast<size_t>(n));
  memcpy(padded + n, kPadding, static_cast<size_t>(32 - n));
}

void CodecGetMD5Binary(const unsigned char* data, int length, unsigned char digest[16]) {
  unsigned int len = 0;
  EVP_Digest(data, static_cast<size_t>(length), digest, &len, EVP_md5(), nullptr);
}

void CodecRC4(const unsigned char* key, int keyLength, unsigned char* data, int length) {
  unsigned char s[256];
  for (int i = 0; i < 256; i++) s[i] = static_cast<unsigned char>(i);
  for (int i = 0, j = 0; i < 256; i++) {
    j = (j + s[i] + key[i % keyLength]) & 0xff;
    unsigned char t = s[i];
    s[i] = s[j];
    s[j] = t;
  }
  for (int k = 0, i = 0, j = 0; k < length; k++) {
    i = (i + 1) & 0xff;
    j = (j + s[i]) & 0xff;
    unsigned char t = s[i];
    s[i] = s[j];
    s[j] = t;
    data[k] ^= s[(s[i] + s[j]) & 0xff];
  }
}

void CodecGenerateEncryptionKey(const void* password, int nKey, unsigned char key[kCodecKeySize]) {
  unsigned char padded[32];
  CodecPadPassword(password, nKey, padded);
  unsigned char h[16];
  CodecGetMD5Binary(kPadding, sizeof(kPadding), h);
  for (int i = 0; i < 50; i++) CodecGetMD5Binary(h, 16, h);

  unsigned char both[64];
  memcpy(both, padded, 32);
  memcpy(both + 32, padded, 32);  // O starts as a copy of P
  for (int i = 0; i < 20; i++) {
    unsigned char rc4Key[16];
    for (int j = 0; j < 16; j++) rc4Key[j] = static_cast<unsigned char>(h[j] ^ i);
    CodecRC4(rc4Key, 16, both + 32, 32);
  }
  unsigned char k[16];
  CodecGetMD5Binary(both, 64, k);
  for (int i = 0; i < 50; i++) CodecGetMD5Binary(k, 16, k);
  memcpy(key, k, kCodecKeySize);
  OPENSSL_cleanse(padded, sizeof(padded));
  OPENSSL_cleanse(both, sizeof(both));
  OPENSSL_cleanse(k, sizeof(k));
}

void CodecGenerateReadKey(Codec* codec, const void* password, int nKey) {
  CodecGenerateEncryptionKey(password, nKey, codec->readKey);
}

void CodecGenerateWriteKey(Codec* codec, const void* password, int nKey) {
  CodecGenerateEncryptionKey(password, nKey, codec->writeKey);
}

void CodecGenerateInitialVector(uint32_t pgno, unsigned char iv[16]) {
  // L'Ecuyer's multiplicative generator (m = 2147483399, a = 40692) by
  // Schrage's method, which stays within signed 32-bit arithmetic.
  unsigned char seq[16];
  int32_t s = static_cast<int32_t>(pgno + 1u);
  for (int i = 0; i < 4; i++) {
    s = 40692 * (s % 52774) - 3791 * (s / 52774);
    if (s < 0) s += 2147483399;
    PutLE32(seq + 4 * i, static_cast<uint32_t>(s));
  }
  CodecGetMD5Binary(seq, sizeof(seq), iv);
}

bool CodecAES(Codec* codec, uint32_t pgno, bool encrypt, const unsigned char key[kCodecKeySize],
              unsigned char* data, int length) {
  if (length <= 0) return true;
  if (length % 16 != 0 || !codec->cipher) return false;
  unsigned char pageKey[16];
  unsigned char iv[16];
  PageKey(key, pgno, pageKey);
  CodecGenerateInitialVector(pgno, iv);
  EVP_CIPHER_CTX* ctx = static_cast<EVP_CIPHER_CTX*>(codec->cipher);
  int out = 0;
  bool ok = EVP_CipherInit_ex(ctx, EVP_aes_128_cbc(), nullptr, pageKey, iv, encrypt ? 1 : 0) == 1 &&
            EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
            EVP_CipherUpdate(ctx, data, &out, data, length) == 1 && out == length;
  OPENSSL_cleanse(pageKey, sizeof(pageKey));
  return ok;
}

bool CodecEncrypt(Codec* codec, uint32_t pgno, unsigned char* data, int length, bool useWriteKey) {
  return CodecAES(codec, pgno, true, useWriteKey ? codec->writeKey : codec->readKey, data, length);
}

bool CodecDecrypt(Codec* codec, uint32_t pgno, unsigned char* data, int length) {
  return CodecAES(codec, pgno, false, codec->readKey, data, length);
}

void* sqlite3Codec(void* codecArg, void* page, uint32_t pgno, int op) {
  Codec* codec = static_cast<Codec*>(codecArg);
  if (!codec || !codec->encrypted) return page;
  int size = codec->pageSize;
  if (size <= 0 || size > kCodecMaxPageSize) return nullptr;
  unsigned char* data = static_cast<unsigned char*>(page);
  switch (op) {
    case 0:
    case 2:
    case kCodecOpRead:
      if (codec->hasReadKey && !CodecDecrypt(codec, pgno, data, size)) return nullptr;
      return page;
    case kCodecOpWriteDb:
      if (!codec->hasWriteKey) return page;
      memcpy(codec->pageBuffer, data, static_cast<size_t>(size));
      return CodecEncrypt(codec, pgno, codec->pageBuffer, size, true) ? codec->pageBuffer : nullptr;
    case kCodecOpWriteJournal:
      if (!codec->hasReadKey) return page;
      memcpy(codec->pageBuffer, data, static_cast<size_t>(size));
      return CodecEncrypt(codec, pgno, codec->pageBuffer, size, false) ? codec->pageBuffer : nullptr;
    default:
      return page;
  }
}

void sqlite3CodecSizeChange(void*, int, int) {}

void sqlite3CodecFree(void* codecArg) {
  Codec* codec = static_cast<Codec*>(codecArg);
  if (!codec) return;
  CodecTerm(codec);
  sqlite3_free(codec);
}
