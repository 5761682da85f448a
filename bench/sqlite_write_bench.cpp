// The writing side of the SQLite document format on the sample notebook:
// a save into a new database (every note inserted whole, then the indexes)
// at 50k and 100k notes, beside the work no save can skip: a raw SQLite bulk
// insert of exactly the rows that save wrote (same schema and pragmas, one
// transaction, one prepared statement per table, the same indexes built
// after the rows); and single-note updates (text and formatting rewritten)
// in an open database. Items are notes or updates, so the time per item
// shows whether anything grows with the size of the document.

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"
#include "samples/SampleNotebook.h"
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

// The rows of one saved database, table by table, as SQLite values, with
// the statements that make its tables and its indexes.
struct SavedRows {
  struct Table {
    std::string name;
    std::string create;
    int columns = 0;
    std::vector<sqlite3_value*> values;  // row after row
  };
  std::vector<Table> tables;
  std::vector<std::string> indexes;
  ~SavedRows() {
    for (Table& t : tables)
      for (sqlite3_value* v : t.values) sqlite3_value_free(v);
  }
};

const SavedRows& RowsOfSave(int notes) {
  static std::map<int, std::unique_ptr<SavedRows>> cache;
  std::unique_ptr<SavedRows>& rows = cache[notes];
  if (rows) return *rows;
  rows.reset(new SavedRows());
  const std::string path = TempPath("rows.qydb");
  RemoveDb(path);
  {
    FormatIO_Sqlite fmt;
    fmt.m_bReportProgress = false;
    RecursiveTreeWalker walker(Notebook(notes), WALK_ALL);
    fmt.Save(path.c_str(), walker);
  }
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_stmt* schema = nullptr;
  sqlite3_prepare_v2(db,
                     "SELECT type, name, sql FROM sqlite_master WHERE sql IS NOT NULL AND name NOT LIKE 'sqlite_%' "
                     "ORDER BY rowid",
                     -1, &schema, nullptr);
  while (sqlite3_step(schema) == SQLITE_ROW) {
    const std::string type = reinterpret_cast<const char*>(sqlite3_column_text(schema, 0));
    const std::string sql = reinterpret_cast<const char*>(sqlite3_column_text(schema, 2));
    if (type == "index") {
      rows->indexes.push_back(sql);
      continue;
    }
    SavedRows::Table t;
    t.name = reinterpret_cast<const char*>(sqlite3_column_text(schema, 1));
    t.create = sql;
    sqlite3_stmt* all = nullptr;
    sqlite3_prepare_v2(db, ("SELECT * FROM " + t.name + " ORDER BY rowid").c_str(), -1, &all, nullptr);
    t.columns = sqlite3_column_count(all);
    while (sqlite3_step(all) == SQLITE_ROW)
      for (int c = 0; c < t.columns; ++c) t.values.push_back(sqlite3_value_dup(sqlite3_column_value(all, c)));
    sqlite3_finalize(all);
    rows->tables.push_back(std::move(t));
  }
  sqlite3_finalize(schema);
  sqlite3_close(db);
  RemoveDb(path);
  return *rows;
}

void Exec(sqlite3* db, const std::string& sql, benchmark::State& state) {
  char* msg = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg) != SQLITE_OK) state.SkipWithError(msg ? msg : "exec");
  sqlite3_free(msg);
}

// The baseline of BM_SaveNewDatabase: the same rows, written as fast as
// SQLite takes them.
void BM_RawBulkInsert(benchmark::State& state) {
  const int notes = static_cast<int>(state.range(0));
  const SavedRows& rows = RowsOfSave(notes);
  const std::string path = TempPath("raw.qydb");
  for (auto _ : state) {
    state.PauseTiming();
    RemoveDb(path);
    state.ResumeTiming();
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    Exec(db, "PRAGMA synchronous=OFF; PRAGMA temp_store=MEMORY; PRAGMA cache_size=10000; BEGIN EXCLUSIVE", state);
    for (const SavedRows::Table& t : rows.tables) {
      Exec(db, t.create, state);
      std::string sql = "INSERT INTO " + t.name + " VALUES (?";
      for (int c = 1; c < t.columns; ++c) sql += ", ?";
      sql += ")";
      sqlite3_stmt* insert = nullptr;
      sqlite3_prepare_v2(db, sql.c_str(), -1, &insert, nullptr);
      for (size_t i = 0; i < t.values.size(); i += static_cast<size_t>(t.columns)) {
        for (int c = 0; c < t.columns; ++c) sqlite3_bind_value(insert, c + 1, t.values[i + static_cast<size_t>(c)]);
        if (sqlite3_step(insert) != SQLITE_DONE) state.SkipWithError("insert failed");
        sqlite3_reset(insert);
      }
      sqlite3_finalize(insert);
    }
    for (const std::string& index : rows.indexes) Exec(db, index, state);
    Exec(db, "COMMIT", state);
    sqlite3_close(db);
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
  b->Arg(50000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();
}

}  // namespace

BENCHMARK(BM_SaveNewDatabase)->Apply(Sizes)->Iterations(1);
BENCHMARK(BM_RawBulkInsert)->Apply(Sizes)->Iterations(1);
BENCHMARK(BM_UpdateNote)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
