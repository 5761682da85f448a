// Native HTML writer: whole saves of 10k and 100k notes (time per note should
// stay flat), and one large note with many tags (time linear in its size).

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <string>

#include "formats/native/FormatIOHtml.h"
#include "formats/native/NativeRenderer.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"
#include "samples/SampleDocument.h"

using quillery_bench::SampleOptions;

namespace {

std::string TempPath(const char* name) {
  const char* dir = getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/" + name + "." + std::to_string(getpid());
}

void BM_SaveNotes(benchmark::State& state) {
  NoteDocument doc;
  SampleOptions opt;
  opt.notes = static_cast<int>(state.range(0));
  opt.pictureRate = 0.05;
  opt.attachmentRate = 0.02;
  quillery_bench::MakeSampleDocument(doc, opt);
  const std::string path = TempPath("qy_writer_bench.qyd");
  for (auto _ : state) {
    RecursiveTreeWalker walker(doc);
    FormatIO_HTML fmt;
    fmt.m_bReportProgress = false;
    if (fmt.Save(path.c_str(), walker) != 0) state.SkipWithError("save failed");
  }
  state.SetItemsProcessed(state.iterations() * opt.notes);
  unlink(path.c_str());
}
BENCHMARK(BM_SaveNotes)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// One note of `bytes` bytes of text with `tags` formatting tags, rendered the
// way its HTML hash is made.
void BM_LargeNote(benchmark::State& state) {
  InstallNativeRenderer();
  NoteDocument doc;
  NoteNode note;
  note.m_strID = "big";
  std::mt19937 rng(7);
  note.m_objText.SetText(quillery_bench::SampleText(rng, static_cast<size_t>(state.range(0))));
  quillery_bench::AddSampleFormatting(note, static_cast<int>(state.range(1)), rng);
  doc.PushNode(note);
  doc.RebuildMap();
  NoteNode& n = doc.GetNodeByIdx(0);
  size_t outSize = 0;
  for (auto _ : state) {
    std::string html;
    RichText2Html(n, true, html);
    outSize = html.size();
    benchmark::DoNotOptimize(html);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
  state.counters["html_bytes"] = static_cast<double>(outSize);
}
BENCHMARK(BM_LargeNote)
    ->Args({256 * 1024, 5000})
    ->Args({512 * 1024, 10000})
    ->Args({1024 * 1024, 20000})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
