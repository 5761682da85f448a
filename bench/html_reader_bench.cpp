// Native HTML reader: whole documents of 10k and 100k notes (time per note
// should stay flat), and one large note with many spans (time linear in its
// size).

#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "formats/native/FormatIOHtml.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"
#include "samples/SampleDocument.h"

using quillery_bench::SampleOptions;

namespace {

std::string Save(NoteDocument& doc) {
  RecursiveTreeWalker walker(doc);
  FormatIO_HTML fmt;
  std::string out;
  fmt.SaveToString(out, doc, walker);
  return out;
}

void Load(benchmark::State& state, const std::string& html, int expectNotes) {
  for (auto _ : state) {
    NoteDocument doc;
    FormatIO_HTML fmt;
    fmt.m_bReportProgress = false;
    std::string text = html;
    if (fmt.LoadFromString(text, doc) != 0 || doc.GetNodeCount() != expectNotes)
      state.SkipWithError("load failed");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(html.size()));
}

void BM_LoadNotes(benchmark::State& state) {
  NoteDocument doc;
  SampleOptions opt;
  opt.notes = static_cast<int>(state.range(0));
  opt.pictureRate = 0.05;
  opt.attachmentRate = 0.02;
  quillery_bench::MakeSampleDocument(doc, opt);
  Load(state, Save(doc), opt.notes);
  state.SetItemsProcessed(state.iterations() * opt.notes);
}
BENCHMARK(BM_LoadNotes)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// One note of `bytes` bytes of text with `tags` formatting tags (half of
// them colour and font spans).
void BM_LoadLargeNote(benchmark::State& state) {
  NoteDocument doc;
  const int idx = doc.NodeInsert("", -1);
  NoteNode& note = doc.GetNodeByIdx(idx);
  std::mt19937 rng(7);
  note.m_objText.SetText(quillery_bench::SampleText(rng, static_cast<size_t>(state.range(0))));
  quillery_bench::AddSampleFormatting(note, static_cast<int>(state.range(1)), rng);
  Load(state, Save(doc), 1);
}
BENCHMARK(BM_LoadLargeNote)
    ->Args({256 * 1024, 5000})
    ->Args({512 * 1024, 10000})
    ->Args({1024 * 1024, 20000})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
