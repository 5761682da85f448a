// The writing side of the SQLite document format on the sample notebook:
// a save into a new database (every note inserted whole, then the indexes)
// at 10k and 100k notes, and single-note updates (text and formatting
// rewritten) in an open database of either size. Items are notes or
// updates, so the time per item shows whether anything grows with the
// size of the document.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "common/SampleNotebook.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"
#include "sqlite/format/FormatIO_Sqlite.h"

namespace {

std::string TempPath(const std::string& name) {
  const char* dir = getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/qy_sqlite_write_bench." + std::to_string(getpid()) + "." +
         name;
}

void RemoveDb(const std::string& path) {
  unlink(path.c_str());
  unlink((path + "-journal").c_str());
}

NoteDocument& Notebook(int notes) {
  static std::map<int, std::unique_ptr<NoteDocument>> docs;
  std::unique_ptr<NoteDocument>& d = docs[notes];
  if (!d) {
    d.reset(new NoteDocument());
    quillery::NotebookOptions opt;
    opt.nNotes = notes;
    quillery::MakeSampleNotebook(*d, opt);
    d->m_nCloneMode = 2;  // no host to ask about clones
  }
  return *d;
}

void BM_SaveNewDatabase(benchmark::State& state) {
  const int notes = static_cast<int>(state.range(0));
  NoteDocument& doc = Notebook(notes);
  const std::string path = TempPath("save.qydb");
  for (auto _ : state) {
    state.PauseTiming();
    RemoveDb(path);
    state.ResumeTiming();
    FormatIO_Sqlite fmt;
    fmt.m_bReportProgress = false;
    RecursiveTreeWalker walker(doc, WALK_ALL);
    if (fmt.Save(path.c_str(), walker) != 0) state.SkipWithError("save failed");
  }
  RemoveDb(path);
  state.SetItemsProcessed(state.iterations() * notes);
}

void BM_UpdateNote(benchmark::State& state) {
  const int notes = static_cast<int>(state.range(0));
  NoteDocument& doc = Notebook(notes);
  const std::string path = TempPath("update.qydb");
  RemoveDb(path);
  FormatIO_Sqlite fmt;
  fmt.m_bReportProgress = false;
  RecursiveTreeWalker walker(doc, WALK_ALL);
  if (fmt.Save(path.c_str(), walker) != 0) {
    state.SkipWithError("save failed");
    return;
  }
  int i = 0;
  for (auto _ : state) {
    NoteNode& note = doc.GetNodeByIdx(i);
    if (!fmt.OnNodeUpdate(note, NIF_TEXT | NIF_FORMATTING | NIF_TITLE, false, nullptr))
      state.SkipWithError("update failed");
    i = (i + 7919) % doc.GetNodeCount();
  }
  fmt.Close();
  RemoveDb(path);
  state.SetItemsProcessed(state.iterations());
}

void Sizes(benchmark::internal::Benchmark* b) {
  b->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();
}

}  // namespace

BENCHMARK(BM_SaveNewDatabase)->Apply(Sizes)->Iterations(1);
BENCHMARK(BM_UpdateNote)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
