// The document containers at object level (no document model around them: no
// ".part" file, no fsync), beside the plain native format on the same notebook, and
// the Blowfish stage on its own: the key schedule, and enciphering and deciphering
// through a chain in the readers' and writers' piece sizes (the read side in pieces
// that are not whole blocks, so the carried partial block is measured too).
// Throughput is in bytes of the saved file (or of the stage's input) per second;
// items are notes, so the time per note shows whether anything grows faster than
// linearly.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>

#include "base/File64.h"
#include "samples/SampleNotebook.h"
#include "io/BlowFish.h"
#include "formats/native/FormatIOHtml.h"
#include "formats/containers/FormatIO_EncHTML.h"
#include "formats/containers/FormatIO_ZlibHTML.h"
#include "io/IOLayerEnc.h"
#include "io/IOLayerRedirect.h"
#include "io/IOProcess.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"

namespace {

const char kPassword[] = "bench password";

std::string TempPath(const std::string& name) {
  const char* dir = getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/qy_containers_bench." + std::to_string(getpid()) + name;
}

NoteDocument& Notebook(int notes) {
  static std::map<int, std::unique_ptr<NoteDocument>> docs;
  std::unique_ptr<NoteDocument>& d = docs[notes];
  if (!d) {
    d.reset(new NoteDocument());
    quillery::NotebookOptions opt;
    opt.nNotes = notes;
    quillery::MakeSampleNotebook(*d, opt);
    d->SetReportProgress(false);
  }
  return *d;
}

// A new format object of the kind, ready to save or load.
std::unique_ptr<FormatIO_HTML> MakeFormat(const std::string& ext) {
  std::unique_ptr<FormatIO_HTML> f;
  if (ext == ".qyz") {
    f.reset(new FormatIO_ZlibHTML);
  } else if (ext == ".qye") {
    auto* e = new FormatIO_EncHTML;
    e->SetPassword(kPassword);
    f.reset(e);
  } else {
    f.reset(new FormatIO_HTML);
  }
  f->m_bReportProgress = false;
  return f;
}

void BM_Save(benchmark::State& state, const std::string& ext) {
  const int notes = static_cast<int>(state.range(0));
  NoteDocument& doc = Notebook(notes);
  const std::string path = TempPath("save" + ext);
  for (auto _ : state) {
    RecursiveTreeWalker walker(doc, WALK_ALL);
    if (MakeFormat(ext)->Save(path.c_str(), walker) != DOC_SAVE_OK) state.SkipWithError("save failed");
  }
  state.SetBytesProcessed(state.iterations() * File64::FileSize(path));
  state.SetItemsProcessed(state.iterations() * notes);
  unlink(path.c_str());
}

void BM_Load(benchmark::State& state, const std::string& ext) {
  const int notes = static_cast<int>(state.range(0));
  const std::string path = TempPath("load" + ext);
  {
    RecursiveTreeWalker walker(Notebook(notes), WALK_ALL);
    if (MakeFormat(ext)->Save(path.c_str(), walker) != DOC_SAVE_OK) state.SkipWithError("save failed");
  }
  for (auto _ : state) {
    NoteDocument doc;
    if (MakeFormat(ext)->Load(path.c_str(), doc, -1) != DOC_LOAD_OK) state.SkipWithError("load failed");
    benchmark::DoNotOptimize(doc.GetNodeCount());
    state.PauseTiming();  // freeing the notes is not part of a load
    doc.Close();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * File64::FileSize(path));
  state.SetItemsProcessed(state.iterations() * notes);
  unlink(path.c_str());
}

BENCHMARK_CAPTURE(BM_Save, qyd, std::string(".qyd"))->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Save, qyz, std::string(".qyz"))->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Save, qye, std::string(".qye"))->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Load, qyd, std::string(".qyd"))->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Load, qyz, std::string(".qyz"))->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Load, qye, std::string(".qye"))->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// ---- The Blowfish stage on its own ----

void Discard(const char*, int, void*) {}

std::string RandomBytes(size_t n) {
  std::mt19937 rng(11);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

void BM_KeySchedule(benchmark::State& state) {
  CBlowFish bf;
  for (auto _ : state) benchmark::DoNotOptimize(bf.Initialize(reinterpret_cast<const unsigned char*>(kPassword), 14));
}
BENCHMARK(BM_KeySchedule)->Unit(benchmark::kMicrosecond);

// Enciphering in write mode, in pieces of `range(1)` bytes.
void BM_EncStageWrite(benchmark::State& state) {
  const std::string data = RandomBytes(static_cast<size_t>(state.range(0)));
  const size_t piece = static_cast<size_t>(state.range(1));
  for (auto _ : state) {
    IOProcess io(IOLayerBase::MODE_WRITE);
    auto* enc = new IOLayerEnc;
    enc->SetPassword(kPassword);
    auto* sink = new IOLayerRedirect;
    sink->SetCallback(Discard, nullptr);
    io.PushLayer(enc);
    io.PushLayer(sink);
    for (size_t off = 0; off < data.size(); off += piece)
      io.Write(data.data() + off, static_cast<int>(std::min(piece, data.size() - off)));
    io.Finalize();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_EncStageWrite)->Args({4 << 20, 1024})->Args({4 << 20, 100})->Unit(benchmark::kMillisecond);

// Deciphering in read mode, in pieces of `range(1)` bytes (1,000: never whole blocks).
void BM_EncStageRead(benchmark::State& state) {
  std::string data = RandomBytes(static_cast<size_t>(state.range(0)));
  const size_t piece = static_cast<size_t>(state.range(1));
  for (auto _ : state) {
    IOProcess io(IOLayerBase::MODE_READ);
    auto* enc = new IOLayerEnc;
    enc->SetPassword(kPassword);
    auto* sink = new IOLayerRedirect;
    sink->SetCallback(Discard, nullptr);
    io.PushLayer(enc);
    io.PushLayer(sink);
    for (size_t off = 0; off < data.size(); off += piece)
      enc->Process(&data[off], static_cast<int>(std::min(piece, data.size() - off)));
    io.Finalize();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_EncStageRead)->Args({4 << 20, 1024})->Args({4 << 20, 1000})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
