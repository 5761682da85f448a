// The I/O chain: round trips through file, zlib (header and raw), string and callback
// stages, and that damage is reported: truncated or corrupt streams, read errors and
// write failures (RLIMIT_FSIZE in a forked child); and the hand-off to a worker thread:
// failures, exceptions and cancels of the stages behind it.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>

#include "html/HtmlParserTestUtil.h"
#include "base/File64.h"
#include "base/Log.h"
#include "common/TempDir.h"
#include "io/IOLayerDeflateParallel.h"
#include "io/IOLayerFile64.h"
#include "io/IOLayerRedirect.h"
#include "io/IOLayerString.h"
#include "io/IOLayerThread.h"
#include "io/IOLayerZlib.h"
#include "io/IOProcess.h"

namespace {

const int kRead = IOLayerBase::MODE_READ;
const int kWrite = IOLayerBase::MODE_WRITE;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = char(rng());
  return s;
}

void Collect(const char* data, int len, void* user) {
  static_cast<std::string*>(user)->append(data, size_t(len));
}

// Compresses `data` to `path` through Zlib -> File, writing `piece` bytes at a time.
// Returns the zlib stage's total out.
int64_t CompressToFile(const std::string& path, const std::string& data, size_t piece = 1024) {
  IOProcess chain(kWrite);
  auto* zlib = new IOLayerZlib(true);
  auto* file = new IOLayerFile64;
  EXPECT_TRUE(file->GetFile().Open(path, 54));
  chain.PushLayer(zlib);
  chain.PushLayer(file);
  EXPECT_EQ(zlib->GetError(), 0);
  for (size_t pos = 0; pos < data.size(); pos += piece)
    EXPECT_GE(chain.Write(data.data() + pos, int(std::min(piece, data.size() - pos))), 0);
  EXPECT_GE(chain.Finalize(), 0);
  EXPECT_FALSE(chain.HasError());
  EXPECT_EQ(file->GetTotalIn(), zlib->GetTotalOut());
  return zlib->GetTotalOut();
}

struct ReadResult {
  std::string out;
  bool error = false;
  bool fileError = false;
  bool zlibError = false;
  bool ended = false;
  int reads = 0;
};

// Reads `path` through File -> Zlib -> Redirect with `request` bytes per Read, into a
// zeroed buffer with slack, as the containers do. The sink collects into `out` unless
// another callback is given.
ReadResult DecompressFile(const std::string& path, int request = 1024, bool header = true,
                          int64_t limit = -1, IOLayerRedirect::Callback sinkFn = nullptr,
                          void* user = nullptr) {
  ReadResult r;
  IOProcess chain(kRead);
  auto* file = new IOLayerFile64;
  EXPECT_TRUE(file->GetFile().Open(path, 37));
  auto* zlib = new IOLayerZlib(header);
  auto* sink = new IOLayerRedirect;
  if (sinkFn)
    sink->SetCallback(sinkFn, user);
  else
    sink->SetCallback(Collect, &r.out);
  chain.PushLayer(file);
  chain.PushLayer(zlib);
  chain.PushLayer(sink);
  zlib->SetLimit(limit);
  std::string buf(size_t(request) + 8, '\0');
  bool more = true;
  while (more) {
    chain.Read(&buf[0], request, more);
    ++r.reads;
  }
  chain.Finalize();
  r.error = chain.HasError();
  r.fileError = file->HasError();
  r.zlibError = zlib->HasError();
  r.ended = zlib->IsStreamEnded();
  return r;
}

TEST(IOChain, EmptyChain) {
  IOProcess chain(kRead);
  bool more = true;
  char buf[16];
  EXPECT_EQ(chain.Read(buf, 16, more), 0);
  EXPECT_FALSE(more);
  EXPECT_EQ(chain.Write("abc", 3), 0);
  EXPECT_EQ(chain.WriteString(nullptr), 0);
  EXPECT_EQ(chain.WriteString(""), 0);
  EXPECT_EQ(chain.Finalize(), 0);
  EXPECT_EQ(chain.GetLastLayerData(), nullptr);
  EXPECT_EQ(chain.GetLayerCount(), 0);
  EXPECT_FALSE(chain.HasError());
}

TEST(IOChain, FileRoundTripAndLastLayerData) {
  quillery_test::TempDir dir;
  const std::string path = dir / "plain.html";
  const std::string text = RandomBytes(100000, 1);
  {
    IOProcess chain(kWrite);
    auto* file = new IOLayerFile64;
    ASSERT_TRUE(file->GetFile().Open(path, 54));
    chain.PushLayer(file);
    EXPECT_EQ(chain.GetLastLayerData(), nullptr);
    EXPECT_EQ(chain.WriteString(""), 0);
    EXPECT_EQ(chain.Write(text.data(), 60000), 60000);
    EXPECT_EQ(chain.WriteString(text.substr(60000)), 40000);
    EXPECT_EQ(chain.Finalize(), 0);
    EXPECT_FALSE(chain.HasError());
  }
  EXPECT_EQ(ReadFile(path), text);

  IOProcess chain(kRead);
  auto* file = new IOLayerFile64;
  ASSERT_TRUE(file->GetFile().Open(path, 37));
  chain.PushLayer(file);
  std::string back, buf(8192, '\0');
  bool more = true;
  while (true) {
    int n = chain.Read(&buf[0], 8192, more);
    if (!more) break;
    back.append(buf.data(), size_t(n));
  }
  EXPECT_EQ(back, text);
  EXPECT_EQ(chain.GetReadTotal(), int64_t(text.size()));
  EXPECT_FALSE(chain.HasError());

  // A file -> zlib chain hands out the zlib stage's buffer.
  IOProcess z(kRead);
  z.PushLayer(new IOLayerFile64);
  auto* zlib = new IOLayerZlib(true);
  z.PushLayer(zlib);
  EXPECT_EQ(z.GetLastLayerData(), zlib->GetOutBuffer());
}

TEST(IOChain, ZlibRoundTrips) {
  quillery_test::TempDir dir;
  const std::string path = dir / "z.bin";
  const std::string inputs[] = {"", "x", RandomBytes(1 << 20, 2), std::string(20 << 20, 'a')};
  for (const std::string& in : inputs) {
    int64_t compressed = CompressToFile(path, in);
    const std::string file = ReadFile(path);
    ASSERT_GE(file.size(), 2u);
    EXPECT_EQ(uint8_t(file[0]), 0x78);
    EXPECT_EQ(uint8_t(file[1]), 0x5E);
    EXPECT_EQ(int64_t(file.size()), compressed);
    for (int request : {1024, 1}) {
      if (request == 1 && in.size() > (1u << 20) && compressed > 100000) continue;
      ReadResult r = DecompressFile(path, request);
      EXPECT_TRUE(r.out == in) << "size " << in.size() << " request " << request;
      EXPECT_FALSE(r.error);
      EXPECT_TRUE(r.ended);
    }
  }
  // Fed one byte at a time on the write side as well.
  CompressToFile(path, "some text, some text, some text", 1);
  EXPECT_EQ(DecompressFile(path).out, "some text, some text, some text");
}

TEST(IOChain, RawInflate) {
  quillery_test::TempDir dir;
  const std::string path = dir / "raw.bin";
  const std::string text = std::string(50000, 'r') + RandomBytes(5000, 3);
  z_stream s{};
  ASSERT_EQ(deflateInit2(&s, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&s, uLong(text.size())), '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  s.avail_in = uInt(text.size());
  s.next_out = reinterpret_cast<Bytef*>(&out[0]);
  s.avail_out = uInt(out.size());
  ASSERT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
  out.resize(s.total_out);
  deflateEnd(&s);
  WriteFile(path, out);
  ReadResult r = DecompressFile(path, 1024, false);
  EXPECT_TRUE(r.out == text);
  EXPECT_FALSE(r.error);
  // The same bytes read as a zlib-header stream are corrupt.
  EXPECT_TRUE(DecompressFile(path, 1024, true).error);
}

TEST(IOChain, TrailingBytesAndLimits) {
  quillery_test::TempDir dir;
  const std::string path = dir / "z.bin";
  const std::string text = RandomBytes(30000, 4) + std::string(30000, 'q');
  int64_t size = CompressToFile(path, text);
  const std::string stream = ReadFile(path);

  // Junk after a stream that ended cleanly is read to the end of the file but reaches
  // no later stage and is no error.
  WriteFile(path, stream + std::string(100, 'J'));
  ReadResult junk = DecompressFile(path, 16);
  EXPECT_TRUE(junk.out == text);
  EXPECT_FALSE(junk.error);
  EXPECT_GE(junk.reads, int((size + 100) / 16));

  // A limit above the stream's length changes nothing; one below cuts the stream,
  // which is then unfinished.
  EXPECT_TRUE(DecompressFile(path, 1024, true, size + 50).out == text);
  EXPECT_FALSE(DecompressFile(path, 1024, true, size + 50).error);
  quillery::LogCapture cap;
  ReadResult cut = DecompressFile(path, 1024, true, size / 2);
  EXPECT_TRUE(cap.Has("IOLayerZlib::Process Reached end of stream!\n"));
  EXPECT_TRUE(cut.error);
  EXPECT_TRUE(cut.zlibError);
  EXPECT_FALSE(cut.fileError);
  EXPECT_LT(cut.out.size(), text.size());
  EXPECT_EQ(cut.out, text.substr(0, cut.out.size()));
}

TEST(IOChain, DamagedStreamsAreReported) {
  quillery_test::TempDir dir;
  const std::string path = dir / "z.bin";
  const std::string text = RandomBytes(20000, 5) + std::string(20000, 'w');
  CompressToFile(path, text);
  const std::string stream = ReadFile(path);

  quillery::LogCapture cap;
  WriteFile(path, stream.substr(0, stream.size() / 2));
  ReadResult half = DecompressFile(path);
  EXPECT_TRUE(half.error);
  EXPECT_TRUE(half.zlibError);
  EXPECT_FALSE(half.ended);

  for (size_t at : {size_t(2), stream.size() / 3, stream.size() - 2}) {
    std::string bad = stream;
    bad[at] = char(bad[at] ^ 0x55);
    WriteFile(path, bad);
    EXPECT_TRUE(DecompressFile(path).error) << "flipped byte at " << at;
  }
  for (const std::string& line : cap.Lines()) EXPECT_EQ(line.find("(null)"), std::string::npos);
  EXPECT_TRUE(cap.Contains("Zlib error: "));

  // A read error: the file was opened for writing only.
  WriteFile(path, stream);
  IOProcess chain(kRead);
  auto* file = new IOLayerFile64;
  ASSERT_TRUE(file->GetFile().Open(path, 2));
  chain.PushLayer(file);
  char buf[64];
  bool more = true;
  EXPECT_LT(chain.Read(buf, 64, more), 0);
  EXPECT_FALSE(more);
  EXPECT_TRUE(file->HasError());
  EXPECT_TRUE(chain.HasError());
  EXPECT_LT(chain.Finalize(), 0);
  EXPECT_EQ(chain.GetReadTotal(), 0);
}

TEST(IOChain, ParseAndDumpRedirectors) {
  quillery_test::TempDir dir;
  const std::string path = dir / "doc.qyz";
  std::string html;
  for (int i = 0; i < 2000; ++i)
    html += "<DT><A name=\"n" + std::to_string(i) + "\"></A>Title &amp; " + std::to_string(i) +
            "</DT>\n<!--property:x=1-->\n<DD>text<BR>\n</DD>\n";
  CompressToFile(path, html);

  quillery_test::TraceParser parser;
  ReadResult parsed =
      DecompressFile(path, 1024, true, -1, ParseRedirector, static_cast<HTMLParser*>(&parser));
  EXPECT_FALSE(parsed.error);
  parser.Finalize();
  EXPECT_EQ(parser.trace, quillery_test::ParseWhole(html));

  const std::string dumpPath = dir / "dump.html";
  File64 dump;
  ASSERT_TRUE(dump.Open(dumpPath, 54));
  EXPECT_FALSE(DecompressFile(path, 1024, true, -1, DumpRedirector, &dump).error);
  EXPECT_TRUE(dump.Close());
  EXPECT_EQ(ReadFile(dumpPath), html);
}

TEST(IOChain, StringStage) {
  IOProcess w(kWrite);
  auto* out = new IOLayerString;
  w.PushLayer(out);
  EXPECT_EQ(w.WriteString("<HTML>"), 6);
  EXPECT_EQ(w.Write("\0x", 2), 2);
  EXPECT_EQ(w.Finalize(), 0);
  EXPECT_EQ(out->GetBuffer(), std::string("<HTML>\0x", 8));

  // Read mode: at most len - 1 bytes per call, NUL bytes survive, a large buffer is
  // handed out completely in small pieces.
  IOProcess r(kRead);
  auto* in = new IOLayerString;
  r.PushLayer(in);
  std::string data = std::string("a\0b", 3) + RandomBytes(600000, 6);
  in->GetBuffer() = data;
  char buf[1025];
  bool more = true;
  EXPECT_EQ(r.Read(buf, 0, more), 0);
  EXPECT_EQ(r.Read(buf, 1, more), 0);
  EXPECT_FALSE(more);
  std::string back;
  while (true) {
    int n = r.Read(buf, 1025, more);
    if (!more) break;
    EXPECT_LE(n, 1024);
    EXPECT_EQ(buf[n], '\0');
    back.append(buf, size_t(n));
  }
  EXPECT_TRUE(back == data);
}

TEST(IOChain, FinalizeTwiceAndDestroyUnfinished) {
  quillery_test::TempDir dir;
  {
    // Destroyed in the middle of a stream: the zlib stream is ended (ASan checks).
    IOProcess chain(kWrite);
    auto* file = new IOLayerFile64;
    ASSERT_TRUE(file->GetFile().Open(dir / "a.bin", 54));
    chain.PushLayer(new IOLayerZlib(true));
    chain.PushLayer(file);
    std::string data = RandomBytes(100000, 7);
    EXPECT_EQ(chain.WriteString(data), 0);
  }
  {
    IOProcess chain(kRead);
    auto* file = new IOLayerFile64;
    CompressToFile(dir / "b.bin", std::string(100000, 'b'));
    ASSERT_TRUE(file->GetFile().Open(dir / "b.bin", 37));
    chain.PushLayer(file);
    chain.PushLayer(new IOLayerZlib(true));
    char buf[1032];
    bool more;
    chain.Read(buf, 1024, more);
  }
  IOProcess chain(kWrite);
  auto* zlib = new IOLayerZlib(true);
  auto* str = new IOLayerString;
  chain.PushLayer(zlib);
  chain.PushLayer(str);
  chain.WriteString("hello hello hello");
  EXPECT_EQ(chain.Finalize(), 0);
  size_t len = str->GetBuffer().size();
  EXPECT_EQ(chain.Finalize(), 0);
  EXPECT_EQ(str->GetBuffer().size(), len);
  EXPECT_EQ(chain.Write("x", 1), -1);  // finished: takes nothing more
  EXPECT_EQ(str->GetBuffer().size(), len);
}

// Writes in a child whose file size limit is 64 KB (SIGXFSZ ignored, so write() fails
// with EFBIG); the exit code tells which expectation failed.
// threaded: the compressor and the file work behind a hand-off to a worker thread.
int WriteUnderSizeLimit(const std::string& path, bool compressed, bool threaded = false) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl = {65536, 65536};
    setrlimit(RLIMIT_FSIZE, &rl);
    int code = 0;
    IOProcess chain(kWrite);
    auto* file = new IOLayerFile64;
    if (!file->GetFile().Open(path, 54)) _exit(100);
    if (threaded) chain.PushLayer(new IOLayerThread);
    if (compressed) chain.PushLayer(new IOLayerZlib(true));
    chain.PushLayer(file);
    // Several of the hand-off's blocks, so that the producer meets the failure.
    std::string data = RandomBytes(threaded ? 8 * IOLayerThread::kBlockSize : 300000, 8);
    bool sawFailure = false;
    for (size_t pos = 0; pos < data.size(); pos += 1000)
      if (chain.Write(data.data() + pos, 1000) < 0) sawFailure = true;
    if (!sawFailure) code |= 1;
    if (chain.Finalize() >= 0) code |= 2;
    if (!chain.HasError()) code |= 4;
    if (!file->HasError()) code |= 8;
    if (chain.Write("x", 1) >= 0) code |= 16;  // sticky
    _exit(code);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -2;
  return WEXITSTATUS(status);
}

TEST(IOChain, WriteFailureTravelsUp) {
  quillery_test::TempDir dir;
  EXPECT_EQ(WriteUnderSizeLimit(dir / "plain.bin", false), 0);
  EXPECT_EQ(WriteUnderSizeLimit(dir / "zlib.bin", true), 0);
  EXPECT_EQ(WriteUnderSizeLimit(dir / "threaded.bin", true, true), 0);
}

TEST(IOChain, ParallelDeflateIsOneZlibStream) {
  // Chunks deflated apart, joined: one stream with the level-4 header that plain
  // zlib inflates whole, also when the input is empty or ends on a chunk boundary.
  const size_t chunk = IOLayerDeflateParallel::kChunkSize;
  std::string text;
  while (text.size() < 3 * chunk) text += "note " + std::to_string(text.size() % 977) + " text\n";
  for (size_t size : {size_t(0), size_t(1000), 2 * chunk, 3 * chunk + 17}) {
    const std::string in = RandomBytes(size / 4, 11) + text.substr(0, size - size / 4);
    IOProcess chain(kWrite);
    auto* deflater = new IOLayerDeflateParallel;
    auto* str = new IOLayerString;
    chain.PushLayer(deflater);
    chain.PushLayer(str);
    for (size_t pos = 0; pos < in.size(); pos += 70000)
      ASSERT_GE(chain.Write(in.data() + pos, int(std::min<size_t>(70000, in.size() - pos))), 0);
    ASSERT_EQ(chain.Finalize(), 0);
    const std::string& z = str->GetBuffer();
    ASSERT_GE(z.size(), 6u);
    EXPECT_EQ(z.substr(0, 2), std::string("\x78\x5E"));
    EXPECT_EQ(deflater->GetTotalOut(), int64_t(z.size()));
    std::string out(in.size() + 1, '\0');
    uLongf outLen = out.size();
    ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(&out[0]), &outLen, reinterpret_cast<const Bytef*>(z.data()),
                         z.size()),
              Z_OK)
        << size;
    out.resize(outLen);
    EXPECT_TRUE(out == in) << size;
  }
}

// A stage that throws after taking `budget` bytes.
class ThrowingLayer : public IOLayerBase {
 public:
  explicit ThrowingLayer(int64_t budget) : m_budget(budget) {}
  char* GetOutBuffer() override { return nullptr; }
  int Process(char*, int len) override {
    if ((m_budget -= len) < 0) throw std::runtime_error("downstream");
    return len;
  }
  int Finalize() override { return 0; }

 private:
  int64_t m_budget;
};

TEST(IOChain, HandOffPassesExceptionsAndCancels) {
  const std::string data = RandomBytes(3 * IOLayerThread::kBlockSize + 5, 9);
  {
    // An exception behind the hand-off reaches the writer's thread.
    IOProcess chain(kWrite);
    chain.PushLayer(new IOLayerThread);
    chain.PushLayer(new ThrowingLayer(IOLayerThread::kBlockSize));
    EXPECT_THROW(
        {
          chain.WriteString(data);
          chain.Finalize();
        },
        std::runtime_error);
    EXPECT_TRUE(chain.HasError());
  }
  quillery_test::TempDir dir;
  CompressToFile(dir / "c.bin", data);
  for (bool cancel : {false, true}) {
    // Read: the sink works behind the hand-off. A cancel drops what is queued, later
    // input is dropped, and the sink sees only a prefix.
    IOProcess chain(kRead);
    auto* file = new IOLayerFile64;
    ASSERT_TRUE(file->GetFile().Open(dir / "c.bin", 37));
    chain.PushLayer(file);
    chain.PushLayer(new IOLayerZlib(true));
    auto* handOff = new IOLayerThread;
    chain.PushLayer(handOff);
    std::string out;
    auto* sink = new IOLayerRedirect;
    sink->SetCallback(Collect, &out);
    chain.PushLayer(sink);
    char buf[1032];
    bool more = true;
    for (int i = 0; more; ++i) {
      chain.Read(buf, 1024, more);
      if (cancel && i == 600) handOff->Cancel();  // after two blocks were handed over
    }
    chain.Finalize();
    if (cancel) {
      EXPECT_LT(out.size(), data.size());
      EXPECT_EQ(out, data.substr(0, out.size()));
    } else {
      EXPECT_EQ(out, data);
      EXPECT_FALSE(chain.HasError());
    }
  }
  {
    // Destroyed with blocks still queued: the worker is stopped and joined (ASan checks).
    IOProcess chain(kWrite);
    chain.PushLayer(new IOLayerThread);
    chain.PushLayer(new IOLayerZlib(true));
    chain.PushLayer(new IOLayerString);
    EXPECT_GE(chain.WriteString(data), 0);
  }
}

}  // namespace
