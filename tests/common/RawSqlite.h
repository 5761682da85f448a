#pragma once

// Direct SQLite access for tests: builds databases by hand and reads them back
// without going through the code under test. Header-only.

#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

namespace quillery_test {

class RawSqlite {
 public:
  // Without fsync: test files need no durability.
  explicit RawSqlite(const std::string& path) {
    sqlite3_open(path.c_str(), &m_db);
    sqlite3_exec(m_db, "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr);
  }
  ~RawSqlite() { sqlite3_close(m_db); }
  RawSqlite(const RawSqlite&) = delete;
  RawSqlite& operator=(const RawSqlite&) = delete;

  sqlite3* handle() const { return m_db; }

  // Runs a script; returns SQLite's error message, empty on success.
  std::string Exec(const std::string& sql) {
    char* msg = nullptr;
    const int rc = sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &msg);
    std::string out = rc == SQLITE_OK ? "" : (msg ? msg : "error");
    sqlite3_free(msg);
    return out;
  }

  // Every row of a query, columns joined with '|' (NULL as "NULL").
  std::vector<std::string> Rows(const std::string& sql) {
    std::vector<std::string> rows;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) return {"PREPARE FAILED"};
    while (sqlite3_step(st) == SQLITE_ROW) {
      std::string row;
      for (int i = 0; i < sqlite3_column_count(st); ++i) {
        if (i) row += '|';
        const unsigned char* t = sqlite3_column_text(st, i);
        row += t ? reinterpret_cast<const char*>(t) : "NULL";
      }
      rows.push_back(row);
    }
    sqlite3_finalize(st);
    return rows;
  }

  // The first column of the first row, "" without a row.
  std::string Scalar(const std::string& sql) {
    const std::vector<std::string> r = Rows(sql);
    return r.empty() ? "" : r[0].substr(0, r[0].find('|'));
  }

  std::vector<std::string> Columns(const std::string& table) {
    std::vector<std::string> cols;
    for (const std::string& r : Rows("SELECT name FROM pragma_table_info('" + table + "')")) cols.push_back(r);
    return cols;
  }
  std::set<std::string> ColumnSet(const std::string& table) {
    const std::vector<std::string> c = Columns(table);
    return std::set<std::string>(c.begin(), c.end());
  }
  std::set<std::string> Names(const std::string& type) {
    std::set<std::string> out;
    for (const std::string& r :
         Rows("SELECT name FROM sqlite_master WHERE type='" + type + "' AND name NOT LIKE 'sqlite_%'"))
      out.insert(r);
    return out;
  }

 private:
  sqlite3* m_db = nullptr;
};

// A writer that dies before any checkpoint: a child process puts path in
// write-ahead-log mode, commits script into the log with automatic
// checkpoints off and is killed, so the log stays beside the file holding
// the committed frames. True when it went so.
inline bool CommitIntoLogAndDie(const std::string& path, const std::string& script) {
  const pid_t pid = fork();
  if (pid == 0) {
    sqlite3* db = nullptr;
    const std::string sql = "PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0; " + script;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK || sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr))
      _exit(1);
    kill(getpid(), SIGKILL);
    _exit(2);
  }
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

}  // namespace quillery_test
