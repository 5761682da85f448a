#include "io/IOLayerEnc.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "formats/containers/ContainerOracle.h"
#include "io/IOLayerFile64.h"
#include "io/IOLayerRedirect.h"
#include "io/IOLayerString.h"
#include "io/IOProcess.h"

namespace {

const char kPassword[] = "chunk test";

std::string Sample(size_t n) {
  std::mt19937 rng(static_cast<unsigned>(n));
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

struct WriteRun {
  std::string out;
  std::vector<int> lastCounts;  // bytes enciphered by each Write call
  int finalCount = 0;           // bytes enciphered by Finalize
};

// Writes data through enc -> string in pieces of `chunk` bytes.
WriteRun WriteInChunks(const std::string& data, size_t chunk) {
  IOProcess io(IOLayerBase::MODE_WRITE);
  auto* enc = new IOLayerEnc;
  auto* sink = new IOLayerString;
  EXPECT_TRUE(enc->SetPassword(kPassword));
  io.PushLayer(enc);
  io.PushLayer(sink);
  WriteRun run;
  for (size_t off = 0; off < data.size(); off += chunk) {
    const int n = static_cast<int>(std::min(chunk, data.size() - off));
    EXPECT_GE(io.Write(data.data() + off, n), 0);
    run.lastCounts.push_back(enc->GetLastCipherCount());
  }
  EXPECT_GE(io.Finalize(), 0);
  run.finalCount = enc->GetLastCipherCount();
  EXPECT_FALSE(io.HasError());
  run.out = sink->GetBuffer();
  return run;
}

void AppendSink(const char* data, int len, void* user) {
  static_cast<std::string*>(user)->append(data, static_cast<size_t>(len));
}

TEST(IOLayerEnc, WriteOutputDoesNotDependOnChunking) {
  const std::string data = Sample(1030);
  const std::string expected = container_oracle::BlowfishEcb(kPassword, data, true);
  ASSERT_EQ(1032u, expected.size());
  for (size_t chunk : {size_t(1030), size_t(1), size_t(7), size_t(1024), size_t(1025)}) {
    const WriteRun run = WriteInChunks(data, chunk);
    EXPECT_EQ(expected, run.out) << "chunk " << chunk;
    int duringWrite = 0;
    for (int n : run.lastCounts) duringWrite += n;
    EXPECT_EQ(1024, duringWrite) << "chunk " << chunk;
    EXPECT_EQ(8, run.finalCount) << "chunk " << chunk;  // 6 bytes plus 2 zero bytes
  }
  EXPECT_EQ("", WriteInChunks("", 1).out);
}

TEST(IOLayerEnc, ReadCarriesPartialBlocksBetweenCalls) {
  const std::string plain = Sample(5000);
  const std::string cipher = container_oracle::BlowfishEcb(kPassword, plain, true);
  std::mt19937 rng(99);
  for (int round = 0; round < 20; ++round) {
    IOProcess io(IOLayerBase::MODE_READ);
    auto* enc = new IOLayerEnc;
    auto* sink = new IOLayerRedirect;
    std::string got;
    ASSERT_TRUE(enc->SetPassword(kPassword));
    sink->SetCallback(AppendSink, &got);
    io.PushLayer(enc);
    io.PushLayer(sink);
    std::vector<char> buf;
    for (size_t off = 0; off < cipher.size();) {
      // Pieces of 1 to 1,100 bytes, hardly ever on a block boundary.
      const size_t n = std::min<size_t>(1 + rng() % 1100, cipher.size() - off);
      buf.assign(cipher.begin() + off, cipher.begin() + off + n);
      enc->Process(buf.data(), static_cast<int>(n));
      EXPECT_LT(enc->GetPendingCount(), 8);
      off += n;
    }
    io.Finalize();
    EXPECT_FALSE(io.HasError());
    EXPECT_EQ(plain, got.substr(0, plain.size()));
    EXPECT_EQ(cipher.size(), got.size());
  }
}

TEST(IOLayerEnc, ReadEndingInsideABlockFails) {
  const std::string cipher = container_oracle::BlowfishEcb(kPassword, Sample(64), true);
  IOProcess io(IOLayerBase::MODE_READ);
  auto* enc = new IOLayerEnc;
  ASSERT_TRUE(enc->SetPassword(kPassword));
  io.PushLayer(enc);
  std::string cut = cipher.substr(0, 61);
  enc->Process(&cut[0], 61);
  EXPECT_FALSE(io.HasError());
  io.Finalize();
  EXPECT_TRUE(io.HasError());
}

TEST(IOLayerEnc, RefusesToWorkWithoutAKey) {
  IOLayerEnc probe;
  EXPECT_FALSE(probe.SetPassword(""));
  EXPECT_FALSE(probe.SetPassword(nullptr));

  IOProcess io(IOLayerBase::MODE_WRITE);
  auto* enc = new IOLayerEnc;
  auto* sink = new IOLayerString;
  io.PushLayer(enc);
  io.PushLayer(sink);
  const std::string data = Sample(2048);
  EXPECT_EQ(-1, io.Write(data.data(), static_cast<int>(data.size())));
  EXPECT_TRUE(io.HasError());
  EXPECT_EQ("", sink->GetBuffer());
}

TEST(IOLayerEnc, AWriteErrorBehindTheStageTravelsUp) {
  IOProcess io(IOLayerBase::MODE_WRITE);
  auto* enc = new IOLayerEnc;
  ASSERT_TRUE(enc->SetPassword(kPassword));
  io.PushLayer(enc);
  io.PushLayer(new IOLayerFile64);  // its file was never opened: every write fails
  const std::string data = Sample(3000);
  EXPECT_EQ(-1, io.Write(data.data(), static_cast<int>(data.size())));
  EXPECT_TRUE(enc->HasError());
  EXPECT_EQ(-1, io.Write("more", 4));
  EXPECT_LT(io.Finalize(), 0);
}

}  // namespace
