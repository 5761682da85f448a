#include "formats/ContainerIO.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "base/File64.h"
#include "common/TempDir.h"

namespace {

using quillery_test::TempDir;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

TEST(ContainerIO, BigEndianFields) {
  unsigned char b[8];
  quillery::StoreBE64(b, 0x0102030405060708ull);
  EXPECT_EQ(0x01, b[0]);
  EXPECT_EQ(0x08, b[7]);
  EXPECT_EQ(0x0102030405060708ull, quillery::LoadBE64(b));
  quillery::StoreBE64(b, ~0ull);
  EXPECT_EQ(~0ull, quillery::LoadBE64(b));
}

TEST(ContainerIO, ExactReadsAndTheStreamSizePatch) {
  TempDir dir;
  const std::string path = dir / "f.bin";
  WriteAll(path, std::string(20, 'x'));

  File64 f;
  ASSERT_TRUE(f.Open(path, F64_READ | F64_WRITE | F64_OPEN_EXISTING));
  char buf[16];
  EXPECT_TRUE(quillery::ReadExact(f, buf, 16));
  EXPECT_FALSE(quillery::ReadExact(f, buf, 8));  // only 4 bytes are left
  EXPECT_EQ(0, quillery::PatchStreamSize(f, 4, 0x1122));
  EXPECT_TRUE(f.Close());
  EXPECT_EQ(std::string("xxxx") + std::string(6, '\0') + "\x11\x22" + std::string(8, 'x'),
            ReadAll(path));
}

TEST(ContainerIO, FailedOutputIsRemovedOrCutBack) {
  TempDir dir;
  const std::string created = dir / "new.bin";
  WriteAll(created, "half a container");
  quillery::DiscardFailedOutput(created, false, 0);
  EXPECT_FALSE(File64::PathExists(created));

  const std::string appended = dir / "old.bin";
  WriteAll(appended, "earlier contents|half a container");
  quillery::DiscardFailedOutput(appended, true, 16);
  EXPECT_EQ("earlier contents", ReadAll(appended));

  const std::string emptyBefore = dir / "empty.bin";
  WriteAll(emptyBefore, "half");
  quillery::DiscardFailedOutput(emptyBefore, true, 0);
  EXPECT_TRUE(File64::PathExists(emptyBefore));
  EXPECT_EQ("", ReadAll(emptyBefore));
}

TEST(ContainerIO, SaltsDifferAndPasswordsAreWiped) {
  unsigned char a[4] = {}, b[4] = {};
  ASSERT_TRUE(quillery::SecureRandomBytes(a, 4));
  ASSERT_TRUE(quillery::SecureRandomBytes(b, 4));
  EXPECT_NE(std::string(a, a + 4), std::string(b, b + 4));  // 1 in 2^32 to collide
  std::string pw = "secret";
  quillery::SecureWipe(pw);
  EXPECT_TRUE(pw.empty());
}

}  // namespace
