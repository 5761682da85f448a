// The read-ahead worker of a load: the output arrives whole and in order, a damaged
// stream stays reported by its stage, an exception of a stage reaches the consumer,
// and a cancel (or an early destruction) stops the worker while blocks are queued.

#include <gtest/gtest.h>
#include <zlib.h>

#include <fstream>
#include <random>
#include <stdexcept>
#include <string>

#include "common/TempDir.h"
#include "io/IOLayerFile64.h"
#include "io/IOLayerZlib.h"
#include "io/IOProcess.h"
#include "io/IOReadAhead.h"

namespace {

// Passes its input on, and throws once it has taken more than `budget` bytes.
class ThrowAfter : public IOLayerBase {
 public:
  explicit ThrowAfter(int64_t budget) : m_budget(budget) {}
  char* GetOutBuffer() override { return nullptr; }
  int Process(char* data, int len) override {
    if ((m_budget -= len) < 0) throw std::runtime_error("stage");
    return PassOn(data, len);
  }
  int Finalize() override { return FinalizeNext(); }

 private:
  int64_t m_budget;
};

// File -> zlib (-> extra) -> collector, started; the read-ahead is declared after the
// chain so that its worker stops before the stages go.
struct Chain {
  IOProcess io{IOLayerBase::MODE_READ};
  IOLayerZlib* zlib = new IOLayerZlib(true);
  IOReadAhead ahead;

  Chain(const std::string& path, IOLayerBase* extra = nullptr) {
    auto* file = new IOLayerFile64;
    io.PushLayer(file);
    EXPECT_TRUE(file->GetFile().Open(path, 37));
    io.PushLayer(zlib);
    if (extra) io.PushLayer(extra);
    io.PushLayer(ahead.NewCollector());
    ahead.Start(io);
  }
};

std::string Compressible(size_t n) {
  std::mt19937 rng(5);
  std::string s(n, '\0');
  for (char& c : s) c = "<p>note text</p>\n"[rng() % 17];
  return s;
}

TEST(IOReadAhead, DeliversTheChainsOutputStopsAndPassesFailures) {
  quillery_test::TempDir dir;
  const std::string text = Compressible(5 * IOReadAhead::kBlockSize + 123);
  std::string packed(compressBound(uLong(text.size())), '\0');
  uLongf packedLen = packed.size();
  ASSERT_EQ(compress2(reinterpret_cast<Bytef*>(&packed[0]), &packedLen,
                      reinterpret_cast<const Bytef*>(text.data()), text.size(), 4),
            Z_OK);
  packed.resize(packedLen);
  const std::string whole = dir.Path() + "/whole.z";
  const std::string cut = dir.Path() + "/cut.z";
  std::ofstream(whole, std::ios::binary) << packed;
  std::ofstream(cut, std::ios::binary) << packed.substr(0, packed.size() / 2);

  for (const std::string& path : {whole, cut}) {
    // Whole and in order; a stream cut short stays the zlib stage's failure.
    Chain chain(path);
    IOReadAhead& ahead = chain.ahead;
    std::string out;
    const char* data;
    int len;
    while (ahead.Next(data, len)) {
      EXPECT_LE(len, IOReadAhead::kBlockSize);
      out.append(data, size_t(len));
    }
    ahead.Finish();
    EXPECT_EQ(ahead.GetSourceCount(), int64_t(path == whole ? packed.size() : packed.size() / 2));
    if (path == whole) {
      EXPECT_EQ(out, text);
      EXPECT_TRUE(chain.zlib->IsStreamEnded());
      EXPECT_FALSE(chain.io.HasError());
    } else {
      EXPECT_EQ(out, text.substr(0, out.size()));
      EXPECT_FALSE(chain.zlib->IsStreamEnded());
      EXPECT_TRUE(chain.io.HasError());
    }
  }
  {
    // A stage's exception ends the output and is rethrown to the consumer.
    Chain chain(whole, new ThrowAfter(2 * IOReadAhead::kBlockSize));
    IOReadAhead& ahead = chain.ahead;
    const char* data;
    int len;
    size_t got = 0;
    while (ahead.Next(data, len)) got += size_t(len);
    EXPECT_LT(got, text.size());
    EXPECT_THROW(ahead.Finish(), std::runtime_error);
  }
  {
    // Cancelled after one block while the worker waits for room: no more output.
    Chain chain(whole);
    IOReadAhead& ahead = chain.ahead;
    const char* data;
    int len;
    ASSERT_TRUE(ahead.Next(data, len));
    ahead.Cancel();
    EXPECT_FALSE(ahead.Next(data, len));
    ahead.Finish();
  }
  {
    // Destroyed with blocks queued and none taken: the worker is stopped and joined.
    Chain chain(whole);
  }
}

}  // namespace
