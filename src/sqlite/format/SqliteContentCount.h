#pragma once

// The pictures, attachments and links that a fetch of each note would keep,
// read per stored note ID from four whole-table queries (see
// FormatIO_Sqlite::CountNoteContents, which adds them up over the notes of
// a document).
//
// SqliteContentCounter reads them on a worker thread, and on a second one
// counts the indexes of the document's tables against their tables' rows
// (sqlite_schema::UnmatchedIndex), each through a read-only connection of
// its own (a thread of the budget each, base/ThreadBudget.h; without one,
// Wait does that part on the calling thread), so that both run while the
// document's tree is being read. Ownership across threads: between Start
// and Wait each worker alone touches its connection and its results (the
// rows and m_ok; the index verdict and m_checked); the starting thread
// touches them only after Wait has joined the workers. A worker catches
// everything it could throw and reports it as a failure; Ctrl-C
// (ProgressInfo's cancel flag) stops its queries. The destructor stops the
// workers' queries (through an atomic flag) and waits for them.

#include <atomic>
#include <string>
#include <thread>
#include <string_view>
#include <utility>
#include <vector>

#include "base/ThreadBudget.h"
#include "model/IdHashMap.h"

class CppSQLite3DB;

namespace quillery {

// What a fetch keeps of one stored note ID's rows.
struct StoredNoteContents {
  long long pictures = 0;
  long long attachments = 0;
  long long links = 0;
  bool clone = false;  // the notes row names a clone source (its contents are the original's)
};

// The contents of every stored note ID that has any, found by ID. Built
// whole by ReadNoteContents; read-only afterwards.
class ContentByStoredId {
 public:
  const StoredNoteContents* Find(std::string_view id) const {
    const int* at = m_index.Find(id);
    return at ? &m_items[static_cast<size_t>(*at - 1)] : nullptr;
  }
  // index: each ID's position in items, plus one.
  void Assign(IdHashMap&& index, std::vector<StoredNoteContents>&& items) {
    m_index = std::move(index);
    m_items = std::move(items);
  }

 private:
  IdHashMap m_index;
  std::vector<StoredNoteContents> m_items;
};

// A database's tree as a load into an empty document would take it, read
// without loading the notes (FormatIO_Sqlite::LoadOutline): the notes'
// stored IDs, in the load's order, and the number of levels.
struct TreeOutline {
  std::vector<std::string> ids;
  int levels = 0;
};

// Runs the counting queries on db; false when one fails (logged as an
// error when logFailure).
bool ReadNoteContents(CppSQLite3DB& db, ContentByStoredId& out, bool logFailure);

class SqliteContentCounter {
 public:
  SqliteContentCounter() = default;
  ~SqliteContentCounter();
  SqliteContentCounter(const SqliteContentCounter&) = delete;
  SqliteContentCounter& operator=(const SqliteContentCounter&) = delete;

  // Starts counting the database at path (password: the key of an
  // encrypted one, empty for none). The file is opened read-only.
  void Start(const std::string& path, const std::string& password);
  // Waits for the count; the rows, or nullptr when it was never started or
  // either part failed (a busy, damaged or not yet upgraded file, a wrong
  // key: the caller counts on its own connection and reports what is
  // wrong).
  const ContentByStoredId* Wait();
  // Once Wait gave the rows: the index that does not match its table, as
  // sqlite_schema::UnmatchedIndex tells it; empty when every one matches.
  const std::string& UnmatchedIndex() const { return m_unmatched; }

 private:
  // Opens the file read-only on db, with the cancel and busy handlers, and
  // begins the read that all its queries share; false when that fails.
  bool OpenReader(CppSQLite3DB& db);
  void Run();
  void RunCheck();
  // Runs job on worker, a thread from share, when the budget grants one;
  // else Wait runs it on the calling thread.
  void StartWorker(ThreadShare& share, std::thread& worker, void (SqliteContentCounter::*job)(), const char* what);

  std::string m_path;
  std::string m_password;
  std::atomic<bool> m_abandon{false};  // set by the destructor, read by the worker's queries
  bool m_pending = false;              // started, not yet waited for
  ThreadShare m_share;                 // the worker's thread, from the budget
  std::thread m_worker;
  ContentByStoredId m_rows;
  bool m_ok = false;
  ThreadShare m_checkShare;            // the index check's thread, from the budget
  std::thread m_checker;
  std::string m_unmatched;
  bool m_checked = false;              // the indexes were counted
};

}  // namespace quillery
