// Building and walking documents of 10k, 100k and 300k notes. The time per note
// (items_per_second) should stay flat between the two sizes: every map is
// hashed and a walk sorts each parent's children once.

#include <benchmark/benchmark.h>

#include "model/DocumentIterator.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"

namespace {

// A tree of fan-out 10: every note gets children until the count is reached.
void Build(NoteDocument& doc, int count) {
  doc.NodeInsert("", -1);
  for (int i = 1, parent = 0; i < count; ++i) {
    if (i % 10 == 0) ++parent;
    const int idx = doc.NodeInsert(doc.GetNodeByIdx(parent).m_strID, -1);
    doc.GetNodeByIdx(idx).SetTitle("note");
  }
}

void BM_BuildTree(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  for (auto _ : state) {
    NoteDocument doc;
    Build(doc, count);
    benchmark::DoNotOptimize(doc.GetNodeCount());
  }
  state.SetItemsProcessed(state.iterations() * count);
}

void BM_WalkAll(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  NoteDocument doc;
  Build(doc, count);
  DocumentIterator it(doc);
  for (auto _ : state) {
    RecursiveTreeWalker walker(doc);
    long sum = 0;
    for (int idx = walker.GetNextNode(); idx >= 0; idx = walker.GetNextNode()) {
      // What a writer asks per note.
      sum += walker.CalcRelativeDepth(idx) + it.GetChildCountByIdx(idx);
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * count);
}

void BM_BulkPushAndRebuild(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  NoteDocument src;
  Build(src, count);
  for (auto _ : state) {
    NoteDocument doc;
    doc.BlockMapRecalc(true);
    for (int i = 0; i < count; ++i) doc.PushNode(src.GetNodeByIdx(i));
    doc.BlockMapRecalc(false);
    benchmark::DoNotOptimize(doc.GetIdxFromID(src.GetNodeByIdx(count - 1).m_strID));
  }
  state.SetItemsProcessed(state.iterations() * count);
}

}  // namespace

BENCHMARK(BM_BuildTree)->Arg(10000)->Arg(100000)->Arg(300000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WalkAll)->Arg(10000)->Arg(100000)->Arg(300000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BulkPushAndRebuild)->Arg(10000)->Arg(100000)->Arg(300000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
