#pragma once

// CppSQLite3DB: one SQLite connection. Every operation that can fail takes an
// optional error record as its last parameter (see CppSQLite3Exception).
//
// Invariants: owns the handle (closed by close() or the destructor); a handle
// that SQLite hands back from a failed open is kept so that close() releases
// it. Not copyable. The busy timeout (ms) is applied at every open.
// Every open distrusts the file's own schema (distrustSchema): a document
// may come from anyone, and its triggers or views must never run here.
//
// Statement cache: cachedStatement compiles a statement text once per
// connection and hands the same prepared statement out again, since
// compiling costs more than running most of the rows this program writes.
// A cached statement is lent: it comes back (reset, bindings cleared) when
// the CppSQLite3Statement holding it is finalized or destroyed, and while it
// is out the same text gets a statement of its own. The cache owns every
// statement not lent out and finalizes them on close, on a key or re-key
// and in clearStatementCache, so none keeps the connection from closing.
// A lent statement must not outlive this object. Changes of the schema need
// nothing here: sqlite3_prepare_v2 statements recompile themselves.

#include <sqlite3.h>

#include <atomic>
#include <memory>
#include <string>
#include <unordered_map>

#include "sqlite/access/CppSQLite3Query.h"
#include "sqlite/access/CppSQLite3Statement.h"
#include "sqlite/access/CppSQLite3Table.h"

class CppSQLite3Exception;

class CppSQLite3DB {
 public:
  // Signature of a statement-trace callback (sqlite3_trace_v2).
  typedef int (*TraceCallback)(unsigned mask, void* context, void* p, void* x);

  CppSQLite3DB();
  // Takes ownership of an open handle.
  explicit CppSQLite3DB(sqlite3* handle);
  virtual ~CppSQLite3DB();
  CppSQLite3DB(const CppSQLite3DB&) = delete;
  CppSQLite3DB& operator=(const CppSQLite3DB&) = delete;

  // Opens (read-write, created when missing; readOnly: an existing file that
  // the connection never writes, not even to roll back a hot journal); the
  // SQLite result code. A read-only connection takes no mutex of its own: it
  // must not be used by two threads at the same time.
  int open(const char* path, CppSQLite3Exception* err = nullptr, bool readOnly = false);
  // Turns off what a database file could make a connection run on its own
  // (triggers, views, functions called from its schema) and turns on
  // defensive mode (no writes to the schema or shadow tables, no journal
  // switched off). For every connection to a document file, right after
  // its open; the SQLite result code.
  static int distrustSchema(sqlite3* db);
  // The result of sqlite3_close, 0 when nothing was open. A read-only
  // connection leaves no write-ahead log or index of its own making beside
  // the file (SQLite removes them when it can). A connection that committed
  // nothing leaves a log that held frames when it opened as it was, and the
  // file unchanged (no checkpoint at its close).
  int close();
  bool isOpen() const { return mpDB != nullptr; }
  sqlite3* handle() const { return mpDB; }
  void setBusyTimeout(int ms);

  sqlite3_stmt* compile(const char* sql, CppSQLite3Exception* err = nullptr);
  CppSQLite3Statement compileStatement(const char* sql, CppSQLite3Exception* err = nullptr);
  // The cached statement of sql (see the top comment); an empty statement
  // and the error when sql does not compile.
  CppSQLite3Statement cachedStatement(const char* sql, CppSQLite3Exception* err = nullptr);
  // Finalizes the cached statements; those lent out are finalized when they
  // come back.
  void clearStatementCache();
  // How many statements the cache holds (lent out or not).
  size_t cachedStatementCount() const { return mCache.size(); }
  // Rows changed, -1 on failure.
  int execDML(const char* sql, CppSQLite3Exception* err = nullptr);
  // A cursor on the first row (or at its end). Runs nothing when err already
  // holds an error.
  CppSQLite3Query execQuery(const char* sql, CppSQLite3Exception* err = nullptr);
  // The first column of the first row as an int (0 for NULL), -1 on failure.
  int execScalar(const char* sql, CppSQLite3Exception* err = nullptr);
  CppSQLite3Table getTable(const char* sql, CppSQLite3Exception* err = nullptr);

  bool tableExists(const char* table);
  bool indexExists(const char* index);
  bool getTableColExists(const char* table, const char* column);
  sqlite3_int64 lastRowId() const;

  // Key and re-key the page encryption. A failure closes the connection.
  int setPassword(const char* password, CppSQLite3Exception* err = nullptr);
  int changePassword(const char* password, CppSQLite3Exception* err = nullptr);

  // Statement tracing (SQLITE_TRACE_STMT); nothing on a closed connection.
  void trace(TraceCallback callback, void* context);

 private:
  friend class CppSQLite3Statement;
  // One cached statement; the slot stays at its address until the cache is
  // cleared (the map holds it by pointer), and lent statements find it by
  // that address and the cache's generation.
  struct CacheSlot {
    sqlite3_stmt* vm = nullptr;
    bool lent = false;
  };

  bool checkDB(CppSQLite3Exception* err) const;
  int keyResult(int rc, CppSQLite3Exception* err);
  // Takes a lent statement back, or finalizes it when its slot is gone.
  void giveBack(CacheSlot* slot, unsigned generation, sqlite3_stmt* vm);
  // The commit hook: records that this connection committed.
  static int NoteCommit(void* self);

  sqlite3* mpDB;
  int mnBusyTimeoutMs;
  std::unordered_map<std::string, std::unique_ptr<CacheSlot>> mCache;
  unsigned mnCacheGeneration = 0;  // changes whenever the slots are dropped
  bool mbLogHeldFrames = false;     // the write-ahead log held frames at the open
  std::atomic<bool> mbCommitted{false};  // a commit since the open (hook: the committing thread)
};
