// The page cipher: key derivation, page keys and vectors against values
// computed independently (tests/sqlite/codec/data/page_cipher_oracle.py), and the
// page hook's operations.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sqlite/codec/PageCodec.h"

namespace {

std::string Hex(const unsigned char* p, size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; i++) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}

std::string KeyHex(const std::string& pw) {
  unsigned char k[16];
  CodecGenerateEncryptionKey(pw.data(), static_cast<int>(pw.size()), k);
  return Hex(k, 16);
}

struct CodecPtr {
  Codec* c = CodecCreate();
  ~CodecPtr() { sqlite3CodecFree(c); }
};

TEST(PageCodecTest, KeysAndVectorsMatchTheIndependentComputation) {
  EXPECT_EQ(KeyHex("quillery"), "e9fa1ecd8572a1f45eac4644be3126b0");
  EXPECT_EQ(KeyHex(""), "1ed0b3d11eb935d323e975766e80cc70");
  // Only the first 32 bytes of a password count.
  EXPECT_EQ(KeyHex("0123456789abcdefghijklmnopqrstuvwxyzABCD"), "41a1b4f77a3c16a72593ea387070fd8b");
  EXPECT_EQ(KeyHex("0123456789abcdefghijklmnopqrstuv"), "41a1b4f77a3c16a72593ea387070fd8b");

  unsigned char iv[16];
  CodecGenerateInitialVector(1, iv);
  EXPECT_EQ(Hex(iv, 16), "20d7420f9c37a35dca6fe92a1c6999a9");
  CodecGenerateInitialVector(1000, iv);
  EXPECT_EQ(Hex(iv, 16), "fca0bda904208d25dabb12dc671b89ab");
  CodecGenerateInitialVector(0x7FFFFFFE, iv);
  EXPECT_EQ(Hex(iv, 16), "5323a0f72d328fc330fa6b8ac09e333a");

  unsigned char padded[32];
  CodecPadPassword("ab", 2, padded);
  EXPECT_EQ(Hex(padded, 6), "616228bf4e5e");

  // RC4's published test vector.
  unsigned char data[] = "Plaintext";
  CodecRC4(reinterpret_cast<const unsigned char*>("Key"), 3, data, 9);
  EXPECT_EQ(Hex(data, 9), "bbf316e8d940af0ad3");
}

TEST(PageCodecTest, PagesEncipherInPlaceAndBack) {
  CodecPtr p;
  Codec* c = p.c;
  ASSERT_NE(c, nullptr);
  CodecGenerateReadKey(c, "quillery", 8);
  CodecCopyKey(c, true);
  c->encrypted = c->hasReadKey = c->hasWriteKey = 1;
  std::vector<unsigned char> page(1024);
  for (size_t i = 0; i < page.size(); i++) page[i] = static_cast<unsigned char>(i % 251);
  std::vector<unsigned char> work = page;
  ASSERT_TRUE(CodecEncrypt(c, 3, work.data(), 1024, true));
  EXPECT_EQ(Hex(work.data(), 32), "c597df43fc9a01b5b3d64a92175b084eb75097e962d9625262b6a0dd794e25c1");

  // A prefix of whole blocks deciphers alone (how the file header is read).
  std::vector<unsigned char> prefix(work.begin(), work.begin() + 112);
  ASSERT_TRUE(CodecDecrypt(c, 3, prefix.data(), 112));
  EXPECT_EQ(memcmp(prefix.data(), page.data(), 112), 0);
  EXPECT_FALSE(CodecDecrypt(c, 3, prefix.data(), 100));  // not whole blocks

  ASSERT_TRUE(CodecDecrypt(c, 3, work.data(), 1024));
  EXPECT_EQ(work, page);
  // The same page at another number enciphers differently.
  std::vector<unsigned char> other = page;
  CodecEncrypt(c, 4, other.data(), 1024, true);
  std::vector<unsigned char> third = page;
  CodecEncrypt(c, 3, third.data(), 1024, true);
  EXPECT_NE(other, third);
}

TEST(PageCodecTest, HookOperations) {
  unsigned char page[512];
  memset(page, 'p', sizeof(page));
  EXPECT_EQ(sqlite3Codec(nullptr, page, 1, kCodecOpWriteDb), page);

  CodecPtr p;
  Codec* c = p.c;
  c->pageSize = 512;
  EXPECT_EQ(sqlite3Codec(c, page, 1, kCodecOpWriteDb), page);  // not encrypted
  c->encrypted = 1;
  CodecGenerateReadKey(c, "old", 3);
  CodecGenerateWriteKey(c, "new", 3);
  c->hasReadKey = c->hasWriteKey = 1;

  // Writes return an enciphered copy; the cached page stays plain.
  auto* db = static_cast<unsigned char*>(sqlite3Codec(c, page, 2, kCodecOpWriteDb));
  ASSERT_EQ(db, CodecGetPageBuffer(c));
  EXPECT_EQ(page[0], 'p');
  std::vector<unsigned char> dbCopy(db, db + 512);
  std::vector<unsigned char> expected(page, page + 512);
  CodecEncrypt(c, 2, expected.data(), 512, true);
  EXPECT_EQ(dbCopy, expected);
  // Journal pages carry the key the file has now (the read key).
  auto* jr = static_cast<unsigned char*>(sqlite3Codec(c, page, 2, kCodecOpWriteJournal));
  std::vector<unsigned char> jrExpected(page, page + 512);
  CodecEncrypt(c, 2, jrExpected.data(), 512, false);
  EXPECT_EQ(std::vector<unsigned char>(jr, jr + 512), jrExpected);
  EXPECT_NE(jrExpected, expected);

  std::vector<unsigned char> read = jrExpected;
  EXPECT_EQ(sqlite3Codec(c, read.data(), 2, kCodecOpRead), read.data());
  EXPECT_EQ(std::vector<unsigned char>(read.begin(), read.end()), std::vector<unsigned char>(page, page + 512));
  EXPECT_EQ(sqlite3Codec(c, page, 2, 5), page);  // other operations: nothing

  c->hasWriteKey = 0;  // being deciphered: database pages go out plain
  EXPECT_EQ(sqlite3Codec(c, page, 2, kCodecOpWriteDb), page);
  c->hasReadKey = 0;  // a plain file being enciphered: nothing to decipher or journal
  memcpy(read.data(), page, 512);
  EXPECT_EQ(sqlite3Codec(c, read.data(), 2, kCodecOpRead), read.data());
  EXPECT_EQ(read[0], 'p');
  EXPECT_EQ(sqlite3Codec(c, page, 2, kCodecOpWriteJournal), page);

  CodecPtr q;
  CodecCopy(q.c, c);
  EXPECT_EQ(memcmp(q.c->readKey, c->readKey, 16), 0);
  EXPECT_EQ(q.c->encrypted, 1);
  sqlite3CodecFree(nullptr);
}

}  // namespace
