// The cipher is checked against OpenSSL's low-level Blowfish as an independent oracle,
// with each block's halves loaded as little-endian words (the stored files' byte order).
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "io/BlowFish.h"
#include "formats/containers/ContainerOracle.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

Bytes FromText(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes EncodeWith(const Bytes& key, const Bytes& plain) {
  CBlowFish bf;
  EXPECT_TRUE(bf.Initialize(key.data(), static_cast<int>(key.size())));
  Bytes out(CBlowFish::GetOutputLength(static_cast<unsigned>(plain.size())));
  EXPECT_EQ(out.size(), bf.Encode(plain.data(), out.data(), static_cast<unsigned>(plain.size())));
  return out;
}

// OpenSSL's Blowfish over zero-padded 8-byte blocks, halves little-endian.
Bytes OracleEncode(const Bytes& key, const Bytes& plain) {
  const std::string out = container_oracle::BlowfishEcb(std::string(key.begin(), key.end()),
                                                        std::string(plain.begin(), plain.end()),
                                                        true);
  return Bytes(out.begin(), out.end());
}

TEST(BlowFish, KnownVectorsWithLittleEndianHalves) {
  struct Vector {
    Bytes key, block;
    const char* expected;
  };
  const Vector vectors[] = {
      {FromHex("0000000000000000"), FromHex("0000000000000000"), "4597F94E78DD9861"},
      {FromHex("FFFFFFFFFFFFFFFF"), FromHex("FFFFFFFFFFFFFFFF"), "D56F86518ACB5EB8"},
      {FromHex("0123456789ABCDEF"), FromHex("1111111111111111"), "80C3F96196B08122"},
      {FromHex("FEDCBA9876543210"), FromHex("0123456789ABCDEF"), "0D474ADE6A100014"},
      {FromText("secret"), FromText("ABCDEFGH"), "E4E369EDFF1F8432"},
      {FromText("a"), FromText("ABCDEFGH"), "FCA56FAA0370B4D1"},
  };
  for (const auto& v : vectors) {
    EXPECT_EQ(FromHex(v.expected), EncodeWith(v.key, v.block)) << v.expected;
    EXPECT_EQ(OracleEncode(v.key, v.block), EncodeWith(v.key, v.block)) << v.expected;
  }
}

TEST(BlowFish, RoundFunctionMatchesPublishedBigEndianVectors) {
  // The published vectors take the halves big-endian: feeding the words directly
  // checks the rounds and tables independently of the block byte order.
  CBlowFish bf;
  const Bytes zero(8, 0);
  ASSERT_TRUE(bf.Initialize(zero.data(), 8));
  std::uint32_t l = 0, r = 0;
  bf.Blowfish_encipher(&l, &r);
  EXPECT_EQ(0x4EF99745u, l);
  EXPECT_EQ(0x6198DD78u, r);
  bf.Blowfish_decipher(&l, &r);
  EXPECT_EQ(0u, l);
  EXPECT_EQ(0u, r);

  // "secret" on "ABCDEFGH" in the published order differs from this system's result.
  const Bytes key = FromText("secret");
  ASSERT_TRUE(bf.Initialize(key.data(), static_cast<int>(key.size())));
  l = 0x41424344;  // "ABCD" big-endian
  r = 0x45464748;
  bf.Blowfish_encipher(&l, &r);
  EXPECT_EQ(0xC15CBDC3u, l);
  EXPECT_EQ(0xD0BA7FCBu, r);
}

TEST(BlowFish, RandomKeysAndBlocksAgreeWithOpenSsl) {
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> keyLen(1, 80);
  std::uniform_int_distribution<int> dataLen(0, 70);
  for (int i = 0; i < 1000; ++i) {
    Bytes key(keyLen(rng));
    for (auto& b : key) b = static_cast<unsigned char>(byte(rng));
    Bytes plain(i % 2 ? 8 : dataLen(rng));
    for (auto& b : plain) b = static_cast<unsigned char>(byte(rng));

    CBlowFish bf;
    ASSERT_TRUE(bf.Initialize(key.data(), static_cast<int>(key.size())));
    const unsigned n = static_cast<unsigned>(plain.size());
    Bytes out(CBlowFish::GetOutputLength(n));
    ASSERT_EQ(out.size(), bf.Encode(plain.data(), out.data(), n));
    ASSERT_EQ(OracleEncode(key, plain), out) << "case " << i << " key length " << key.size();

    // In place gives the same bytes as out of place.
    Bytes inPlace = plain;
    inPlace.resize(out.size(), 0xEE);  // the padding must be zeros, whatever was there
    bf.Encode(inPlace.data(), inPlace.data(), n);
    ASSERT_EQ(out, inPlace);

    // Decode restores the zero-padded plaintext, in place too.
    Bytes back(out.size());
    ASSERT_EQ(out.size(), bf.Decode(out.data(), back.data(), static_cast<unsigned>(out.size())));
    Bytes padded = plain;
    padded.resize(out.size(), 0);
    ASSERT_EQ(padded, back);
    bf.Decode(inPlace.data(), inPlace.data(), static_cast<unsigned>(inPlace.size()));
    ASSERT_EQ(padded, inPlace);
  }
}

TEST(BlowFish, OutputLengthAndPartialBlocks) {
  EXPECT_EQ(0u, CBlowFish::GetOutputLength(0));
  EXPECT_EQ(8u, CBlowFish::GetOutputLength(1));
  EXPECT_EQ(8u, CBlowFish::GetOutputLength(8));
  EXPECT_EQ(16u, CBlowFish::GetOutputLength(9));

  CBlowFish bf;
  const Bytes key = FromText("key");
  ASSERT_TRUE(bf.Initialize(key.data(), 3));
  Bytes buf(13, 0x5A);
  const Bytes before = buf;
  // Only the whole block is deciphered; the 5 trailing bytes wait for the rest of their block.
  EXPECT_EQ(8u, bf.Decode(buf.data(), buf.data(), 13));
  EXPECT_NE(Bytes(before.begin(), before.begin() + 8), Bytes(buf.begin(), buf.begin() + 8));
  EXPECT_EQ(Bytes(before.begin() + 8, before.end()), Bytes(buf.begin() + 8, buf.end()));
  EXPECT_EQ(0u, bf.Decode(buf.data(), buf.data(), 7));
  EXPECT_EQ(0u, bf.Encode(buf.data(), buf.data(), 0));
}

TEST(BlowFish, OnlyTheFirst72KeyBytesCount) {
  std::mt19937 rng(7);
  Bytes longKey(100);
  for (auto& b : longKey) b = static_cast<unsigned char>(rng());
  const Bytes key72(longKey.begin(), longKey.begin() + 72);
  const Bytes key71(longKey.begin(), longKey.begin() + 71);
  const Bytes block = FromText("12345678abcdefgh");
  EXPECT_EQ(EncodeWith(key72, block), EncodeWith(longKey, block));
  EXPECT_NE(EncodeWith(key71, block), EncodeWith(longKey, block));
}

TEST(BlowFish, EmptyKeyIsRefusedAndLeavesTheScheduleAlone) {
  CBlowFish bf;
  const Bytes key = FromText("pw");
  ASSERT_TRUE(bf.Initialize(key.data(), 2));
  const Bytes block = FromText("ABCDEFGH");
  Bytes before(8), after(8);
  bf.Encode(block.data(), before.data(), 8);

  EXPECT_FALSE(bf.Initialize(key.data(), 0));
  EXPECT_FALSE(bf.Initialize(key.data(), -1));
  EXPECT_FALSE(bf.Initialize(nullptr, 4));
  bf.Encode(block.data(), after.data(), 8);
  EXPECT_EQ(before, after);
}

}  // namespace
