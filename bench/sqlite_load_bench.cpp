// Opening SQLite documents of 10k and 100k notes: a plain load, a load whose
// every level needs its sibling positions repaired, a merge in which every
// note clashes with a note of the document, and fetching every note's
// contents. The time per note (items_per_second) should stay flat between
// the two sizes: each of these is one pass over the notes plus indexed
// per-note queries.

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "base/Progress.h"
#include "model/FileFormatFactory.h"
#include "model/NoteDocument.h"
#include "sqlite/format/FormatIO_Sqlite.h"

namespace {

FormatIO_Base* CreateSqlite() { return new FormatIO_Sqlite; }

void Exec(sqlite3* db, const std::string& sql) { sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr); }

// A tree of fan-out 10 with a short text, a link and a formatting pair per
// note. gaps: every sibling position is doubled, so every level is broken.
std::string MakeDatabase(int count, bool gaps) {
  char tmpl[] = "/tmp/quillery_bench_XXXXXX";
  const char* dir = mkdtemp(tmpl);
  const std::string path = std::string(dir ? dir : "/tmp") + "/bench.qydb";
  {
    FormatIO_Sqlite fmt;
    CppSQLite3Exception err;
    fmt._db.open(path.c_str(), &err);
    fmt.CreateTables(err);
    fmt.CreateIndexes(err);
  }
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  Exec(db, "PRAGMA synchronous=OFF");
  Exec(db, "BEGIN");
  for (int i = 0; i < count; ++i) {
    const std::string id = "n" + std::to_string(i);
    const std::string pid = i ? "n" + std::to_string((i - 1) / 10) : "";
    const int pos = i ? (i - 1) % 10 : 0;
    Exec(db, "INSERT INTO notes (note_id, note_title, note_text, is_finished) VALUES ('" + id +
                 "', 'title', 'some text of the note', 0)");
    Exec(db, "INSERT INTO notes_tree (note_id, note_pid, note_pos) VALUES ('" + id + "', '" + pid + "', " +
                 std::to_string(gaps ? pos * 2 : pos) + ")");
    Exec(db, "INSERT INTO links (note_id, note_offset, lnk_length, target_url, target_note_id) VALUES ('" + id +
                 "', 0, 4, '', '" + pid + "')");
    Exec(db, "INSERT INTO formatting (note_id, note_offset, fmt_tag, fmt_color, fmt_font, fmt_value) VALUES ('" +
                 id + "', 0, 1, '', '', 100), ('" + id + "', 4, 2, '', '', 100)");
  }
  Exec(db, "COMMIT");
  sqlite3_close(db);
  return path;
}

void Remove(const std::string& path) {
  unlink(path.c_str());
  rmdir(path.substr(0, path.rfind('/')).c_str());
}

void Setup() {
  FileFormatFactory::Get().Register(FORMAT_QYDB, &CreateSqlite);
  ProgressInfo::Reset();
}

void BM_Load(benchmark::State& state) {
  Setup();
  const int count = static_cast<int>(state.range(0));
  const std::string path = MakeDatabase(count, state.range(1) != 0);
  for (auto _ : state) {
    NoteDocument doc;
    doc.Load(path.c_str(), nullptr, FORMAT_QYDB, false);
    benchmark::DoNotOptimize(doc.GetNodeCount());
  }
  state.SetItemsProcessed(state.iterations() * count);
  Remove(path);
}

void BM_MergeAllClashing(benchmark::State& state) {
  Setup();
  const int count = static_cast<int>(state.range(0));
  const std::string path = MakeDatabase(count, false);
  const std::string own = MakeDatabase(count, false);
  for (auto _ : state) {
    state.PauseTiming();
    NoteDocument doc;
    doc.Load(own.c_str(), nullptr, FORMAT_QYDB, false);
    state.ResumeTiming();
    // A file with the same IDs: every note clashes and is renamed, and the
    // document's own database takes every merged note whole.
    doc.Load(path.c_str(), nullptr, FORMAT_QYDB, false, true, -1);
    benchmark::DoNotOptimize(doc.GetNodeCount());
    state.PauseTiming();
    doc.Close();  // rolls the merged notes back out of the file
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * count);
  Remove(path);
  Remove(own);
}

void BM_FetchEveryNote(benchmark::State& state) {
  Setup();
  const int count = static_cast<int>(state.range(0));
  const std::string path = MakeDatabase(count, false);
  NoteDocument doc;
  doc.Load(path.c_str(), nullptr, FORMAT_QYDB, false);
  FormatIO_Sqlite* fmt = dynamic_cast<FormatIO_Sqlite*>(doc.GetLoader());
  for (auto _ : state) {
    for (int i = 0; i < doc.GetNodeCount(); ++i) {
      NoteNode& n = doc.GetNodeByIdx(i);
      fmt->FetchNodeInfo(n, NIF_ALL);
      n.Clear(true);
    }
  }
  state.SetItemsProcessed(state.iterations() * count);
  doc.Close();
  Remove(path);
}

}  // namespace

BENCHMARK(BM_Load)->Args({10000, 0})->Args({100000, 0})->Args({10000, 1})->Args({100000, 1})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MergeAllClashing)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FetchEveryNote)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
