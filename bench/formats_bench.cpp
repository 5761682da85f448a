// Whole-document saves and loads through the document model, for every
// document format, on the sample notebook of 50k and 100k notes; and beside
// them, in the same run and on the same bytes (the notebook's .qyd file), the
// work no format can beat:
//   - a plain write (with fsync, as a save ends) and read of a file that size;
//   - zlib deflate at level 4 and inflate, which the .qyz container must do;
//   - OpenSSL's Blowfish in ECB mode, which the .qye container must do;
//   - libxml2's HTML parser over the file's bytes (read from the file), the
//     yardstick of a general HTML reader that builds a tree.
// Throughput is in bytes of the document's HTML (its .qyd size) per second
// for every row, so the rows compare directly; items are notes, so the time
// per note shows whether anything grows faster than linearly.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>
#include <libxml/HTMLparser.h>
#include <zlib.h>

#define OPENSSL_SUPPRESS_DEPRECATED  // the low-level Blowfish calls, kept for exactly this
#include <openssl/blowfish.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/File64.h"
#include "samples/SampleNotebook.h"
#include "model/FileFormatFactory.h"
#include "formats/native/FormatIOHtml.h"
#include "formats/containers/FormatIO_EncHTML.h"
#include "formats/containers/FormatIO_ZlibHTML.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"

namespace {

FormatIO_Base* NewHtml() { return new FormatIO_HTML(); }
FormatIO_Base* NewEncHtml() { return new FormatIO_EncHTML(); }
FormatIO_Base* NewZlibHtml() { return new FormatIO_ZlibHTML(); }

struct BenchFormat {
  int id;
  const char* ext;
  FormatIO_Base* (*create)();
};
const BenchFormat kFormats[] = {
    {FORMAT_QYD, ".qyd", NewHtml},  // first: its file is the HTML of the baselines
    {FORMAT_QYZ, ".qyz", NewZlibHtml},
    {FORMAT_QYE, ".qye", NewEncHtml},
};

const char* kPassword = "bench password";

std::string TempPath(const std::string& name) {
  const char* dir = getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/qy_formats_bench." + std::to_string(getpid()) + "." + name;
}

// One notebook per size, made once and kept for the whole run.
NoteDocument& Notebook(int notes) {
  static std::map<int, std::unique_ptr<NoteDocument>> docs;
  std::unique_ptr<NoteDocument>& d = docs[notes];
  if (!d) {
    for (const BenchFormat& f : kFormats) FileFormatFactory::Get().Register(f.id, f.create);
    d.reset(new NoteDocument());
    quillery::NotebookOptions opt;
    opt.nNotes = notes;
    quillery::MakeSampleNotebook(*d, opt);
  }
  return *d;
}

int SaveAs(NoteDocument& doc, const std::string& path) {
  unlink(path.c_str());
  RecursiveTreeWalker walker(doc, WALK_ALL);
  return doc.Save(path.c_str(), walker, false, 0, nullptr, kPassword, 0, 0, true);
}

// The notebook saved in a format, made once per size and format.
const std::string& SavedFile(int notes, const BenchFormat& f) {
  static std::map<std::string, std::string> files;
  const std::string key = std::to_string(notes) + f.ext;
  auto it = files.find(key);
  if (it != files.end()) return it->second;
  const std::string path = TempPath(key);
  if (SaveAs(Notebook(notes), path) != DOC_SAVE_OK) abort();
  return files[key] = path;
}

// The bytes of the notebook's .qyd file: the HTML every container carries.
const std::string& Html(int notes) {
  static std::map<int, std::string> bytes;
  std::string& b = bytes[notes];
  if (b.empty()) {
    const std::string& path = SavedFile(notes, kFormats[0]);
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) abort();
    char buf[1 << 16];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) b.append(buf, n);
    fclose(f);
  }
  return b;
}

void Report(benchmark::State& state, int64_t bytes, int notes) {
  state.SetBytesProcessed(state.iterations() * bytes);
  state.SetItemsProcessed(state.iterations() * notes);
}

void BM_Save(benchmark::State& state, const BenchFormat& f) {
  const int notes = static_cast<int>(state.range(0));
  NoteDocument& doc = Notebook(notes);
  doc.SetReportProgress(false);
  const std::string path = TempPath(std::string("save") + f.ext);
  for (auto _ : state) {
    if (SaveAs(doc, path) != DOC_SAVE_OK) state.SkipWithError("save failed");
  }
  Report(state, static_cast<int64_t>(Html(notes).size()), notes);
  unlink(path.c_str());
}

void BM_Load(benchmark::State& state, const BenchFormat& f) {
  const int notes = static_cast<int>(state.range(0));
  const std::string& path = SavedFile(notes, f);
  for (auto _ : state) {
    NoteDocument doc;
    doc.SetReportProgress(false);
    if (doc.Load(path.c_str(), kPassword) != DOC_LOAD_OK) state.SkipWithError("load failed");
    benchmark::DoNotOptimize(doc.GetNodeCount());
    state.PauseTiming();  // freeing the notes is not part of a load
    doc.Close();
    state.ResumeTiming();
  }
  Report(state, static_cast<int64_t>(Html(notes).size()), notes);
}

// ---- The work no format can beat, on the same bytes ----

void BM_PlainFileWrite(benchmark::State& state) {
  const int notes = static_cast<int>(state.range(0));
  const std::string& html = Html(notes);
  const std::string path = TempPath("plain-write");
  for (auto _ : state) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    size_t done = 0;
    while (fd >= 0 && done < html.size()) {
      const ssize_t n = write(fd, html.data() + done, std::min<size_t>(html.size() - done, 1 << 16));
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    if (fd < 0 || done != html.size() || fsync(fd) != 0) state.SkipWithError("write failed");
    if (fd >= 0) close(fd);
  }
  Report(state, static_cast<int64_t>(html.size()), notes);
  unlink(path.c_str());
}

void BM_PlainFileRead(benchmark::State& state) {
  const int notes = static_cast<int>(state.range(0));
  const std::string& path = SavedFile(notes, kFormats[0]);
  std::vector<char> buf(1 << 16);
  for (auto _ : state) {
    const int fd = open(path.c_str(), O_RDONLY);
    int64_t total = 0;
    ssize_t n;
    while (fd >= 0 && (n = read(fd, buf.data(), buf.size())) > 0) total += n;
    if (fd >= 0) close(fd);
    benchmark::DoNotOptimize(total);
  }
  Report(state, File64::FileSize(path), notes);
}

std::string Deflate(const std::string& in) {
  std::string out(compressBound(static_cast<uLong>(in.size())), '\0');
  z_stream z{};
  deflateInit(&z, 4);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef*>(&out[0]);
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

void BM_ZlibDeflateLevel4(benchmark::State& state) {
  const int notes = static_cast<int>(state.range(0));
  const std::string& html = Html(notes);
  for (auto _ : state) benchmark::DoNotOptimize(Deflate(html).size());
  Report(state, static_cast<int64_t>(html.size()), notes);
}

void BM_ZlibInflate(benchmark::State& state) {
  const int notes = static_cast<int>(state.range(0));
  const std::string& html = Html(notes);
  const std::string packed = Deflate(html);
  std::vector<unsigned char> out(1 << 16);
  for (auto _ : state) {
    z_stream z{};
    inflateInit(&z);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
    z.avail_in = static_cast<uInt>(packed.size());
    int r;
    do {
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
      r = inflate(&z, Z_NO_FLUSH);
    } while (r == Z_OK);
    if (r != Z_STREAM_END || z.total_out != html.size()) state.SkipWithError("inflate failed");
    inflateEnd(&z);
  }
  Report(state, static_cast<int64_t>(html.size()), notes);
}

void BM_LibxmlReadFile(benchmark::State& state) {
  const int notes = static_cast<int>(state.range(0));
  const std::string& path = SavedFile(notes, kFormats[0]);
  for (auto _ : state) {
    std::string bytes;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) abort();
    bytes.resize(static_cast<size_t>(File64::FileSize(path)));
    bytes.resize(fread(&bytes[0], 1, bytes.size(), f));
    fclose(f);
    htmlDocPtr doc = htmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr, "UTF-8",
                                    HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING |
                                        HTML_PARSE_NONET | HTML_PARSE_COMPACT);
    if (!doc) state.SkipWithError("libxml2 read failed");
    state.PauseTiming();  // freeing the tree is not part of a load
    xmlFreeDoc(doc);
    state.ResumeTiming();
  }
  Report(state, File64::FileSize(path), notes);
}

void BM_OpenSslBlowfishEcb(benchmark::State& state) {
  const int notes = static_cast<int>(state.range(0));
  const std::string& html = Html(notes);
  BF_KEY key;
  BF_set_key(&key, static_cast<int>(strlen(kPassword)), reinterpret_cast<const unsigned char*>(kPassword));
  std::vector<unsigned char> out(html.size() / 8 * 8);
  const unsigned char* in = reinterpret_cast<const unsigned char*>(html.data());
  for (auto _ : state) {
    for (size_t i = 0; i + 8 <= html.size(); i += 8) BF_ecb_encrypt(in + i, &out[i], &key, BF_ENCRYPT);
    benchmark::DoNotOptimize(out.data());
  }
  Report(state, static_cast<int64_t>(html.size()), notes);
}

void Sizes(benchmark::internal::Benchmark* b) {
  b->Arg(50000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();
}

int Register() {
  for (const BenchFormat& f : kFormats) {
    benchmark::RegisterBenchmark((std::string("Save") + f.ext).c_str(), BM_Save, f)->Apply(Sizes);
    benchmark::RegisterBenchmark((std::string("Load") + f.ext).c_str(), BM_Load, f)->Apply(Sizes);
  }
  return 0;
}
const int kRegistered = Register();

BENCHMARK(BM_PlainFileWrite)->Apply(Sizes);
BENCHMARK(BM_PlainFileRead)->Apply(Sizes);
BENCHMARK(BM_ZlibDeflateLevel4)->Apply(Sizes);
BENCHMARK(BM_ZlibInflate)->Apply(Sizes);
BENCHMARK(BM_OpenSslBlowfishEcb)->Apply(Sizes);
BENCHMARK(BM_LibxmlReadFile)->Apply(Sizes);

}  // namespace

int main(int argc, char** argv) {
  (void)kRegistered;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  // The saved files of the fixtures.
  for (int n : {50000, 100000})
    for (const BenchFormat& f : kFormats) unlink(TempPath(std::to_string(n) + f.ext).c_str());
  return 0;
}
