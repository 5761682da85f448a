// The life of a format object on an older file: load upgrades it and opens
// the long-running transaction, changes stay private until a save to the same
// file commits them (running the upgrade chain again inside the new
// transaction), closing without a save drops them, and a load whose upgrade
// fails leaves the file exactly as it was.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <iterator>
#include <string>

#include "base/Log.h"
#include "base/Progress.h"
#include "common/RawSqlite.h"
#include "common/TempDir.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"
#include "sqlite/format/FormatIO_Sqlite.h"
#include "sqlite/format/SqliteSchema.h"

using quillery::LogCapture;
using quillery_test::RawSqlite;
using quillery_test::TempDir;

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A version-15 file (no deletions table) with two notes.
void BuildVersion15(const std::string& path) {
  RawSqlite raw(path);
  std::string sql;
  for (const char* t : quillery::sqlite_schema::kCreateTableSql) sql += std::string(t) + ";";
  for (const char* i : quillery::sqlite_schema::kCreateIndexSql) sql += std::string(i) + ";";
  sql +=
      "DROP TABLE deletions;"
      "INSERT INTO notes (note_id, note_title, note_text, is_finished) VALUES ('A', 'first', 'a', 0), "
      "('B', 'second', 'b', 0);"
      "INSERT INTO notes_tree (note_id, note_pid, note_pos) VALUES ('A', '', 0), ('B', '', 1);";
  ASSERT_EQ(raw.Exec(sql), "");
}

int CountLines(const LogCapture& cap, const std::string& line) {
  int n = 0;
  for (const std::string& l : cap.Lines()) n += l == line;
  return n;
}

class SqliteLifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    FormatIO_Base::SetEnableSharing(false);
    path = dir / "doc.qydb";
  }
  void TearDown() override { FormatIO_Base::SetEnableSharing(true); }

  // Renames the note in the document and through the format.
  static void Rename(FormatIO_Sqlite& fmt, NoteDocument& doc, const char* id, const char* title) {
    NoteNode& note = doc.GetNodeByIdx(doc.GetIdxFromID(id));
    note.SetTitle(title);
    ASSERT_TRUE(fmt.OnNodeUpdate(note, NIF_TITLE, false, nullptr));
  }
  std::string Title(const char* id) {
    RawSqlite raw(path);
    return raw.Scalar(std::string("SELECT note_title FROM notes WHERE note_id='") + id + "'");
  }

  TempDir dir;
  std::string path;
};

}  // namespace

TEST_F(SqliteLifecycle, SaveCommitsCloseDropsAndTheChainRunsAgainAtSave) {
  BuildVersion15(path);
  LogCapture cap;
  {
    NoteDocument doc;
    FormatIO_Sqlite fmt;
    fmt.SetDoc(doc);
    ASSERT_EQ(fmt.Load(path.c_str(), doc, -1), DOC_LOAD_OK);
    EXPECT_EQ(fmt._nDetectedVersion, 15);
    EXPECT_TRUE(fmt.InTransaction());
    EXPECT_EQ(doc.GetNodeCount(), 2);
    // The upgrade is inside the transaction, which holds the file.
    {
      RawSqlite other(path);
      sqlite3_busy_timeout(other.handle(), 0);
      sqlite3_stmt* st = nullptr;
      int rc = sqlite3_prepare_v2(other.handle(), "SELECT count(*) FROM notes", -1, &st, nullptr);
      if (rc == SQLITE_OK) rc = sqlite3_step(st);
      sqlite3_finalize(st);
      EXPECT_EQ(rc & 0xff, SQLITE_BUSY);  // held exclusively
    }
    Rename(fmt, doc, "A", "renamed");
    RecursiveTreeWalker walker(doc);
    ASSERT_EQ(fmt.Save(path.c_str(), walker), DOC_SAVE_OK);
    EXPECT_TRUE(fmt.InTransaction());
    EXPECT_EQ(fmt._nDetectedVersion, 15);  // never raised: the next save runs the chain again
    Rename(fmt, doc, "B", "not saved");
  }  // destroyed without a save: the second change is rolled back
  EXPECT_EQ(CountLines(cap, "Sqlite database: update format from version 15 to 16\n"), 2);
  EXPECT_EQ(Title("A"), "renamed");
  EXPECT_EQ(Title("B"), "second");
  RawSqlite raw(path);
  EXPECT_TRUE(raw.Names("table").count("deletions"));
  EXPECT_EQ(raw.Scalar("PRAGMA integrity_check"), "ok");

  // A later load finds the latest version and changes nothing.
  LogCapture cap2;
  NoteDocument doc;
  FormatIO_Sqlite fmt;
  fmt.SetDoc(doc);
  ASSERT_EQ(fmt.Load(path.c_str(), doc, -1), DOC_LOAD_OK);
  EXPECT_EQ(fmt._nDetectedVersion, 21);
  EXPECT_TRUE(cap2.Has("Sqlite database: skip format upgrade check (latest version)\n"));
  fmt.Close();
  EXPECT_FALSE(fmt.InTransaction());
}

TEST_F(SqliteLifecycle, LoadWhoseUpgradeFailsLeavesTheFileAsItWas) {
  {
    RawSqlite raw(path);
    std::string sql;
    for (const char* t : quillery::sqlite_schema::kCreateTableSql) sql += std::string(t) + ";";
    // Version 17, and a name clash that fails the step to 18.
    sql +=
        "DROP TABLE deletions_attachments; CREATE TABLE t (a); CREATE INDEX deletions_attachments ON t(a);"
        "INSERT INTO notes (note_id, note_title, is_finished) VALUES ('A', 'first', 0);"
        "INSERT INTO notes_tree (note_id, note_pid, note_pos) VALUES ('A', '', 0);";
    ASSERT_EQ(raw.Exec(sql), "");
  }
  const std::string bytes = ReadFile(path);
  LogCapture cap;
  NoteDocument doc;
  FormatIO_Sqlite fmt;
  fmt.SetDoc(doc);
  EXPECT_EQ(fmt.Load(path.c_str(), doc, -1), DOC_LOAD_FORMAT_ERROR);
  EXPECT_TRUE(cap.Has("Format error 3.\n"));
  fmt.Close();
  EXPECT_TRUE(ReadFile(path) == bytes);
}

// Opening a file for writing changes none of its bytes before a save: an
// older file's upgrade and the lookup indexes a file of the latest version
// lacks are written into the long-running transaction, so a close without a
// save, or a load that was cancelled, leaves the file as it was.
TEST_F(SqliteLifecycle, NothingReachesTheFileBeforeASave) {
  const std::string latest = dir / "latest.qydb";
  {
    RawSqlite raw(latest);
    std::string sql;
    for (const char* t : quillery::sqlite_schema::kCreateTableSql) sql += std::string(t) + ";";
    for (const char* i : quillery::sqlite_schema::kCreateIndexSql) sql += std::string(i) + ";";
    for (const char* i : quillery::sqlite_schema::kNoteLookupIndexNames) sql += std::string("DROP INDEX ") + i + ";";
    sql += "INSERT INTO notes (note_id, note_title, is_finished) VALUES ('A', 'first', 0);"
           "INSERT INTO notes_tree (note_id, note_pid, note_pos) VALUES ('A', '', 0);";
    ASSERT_EQ(raw.Exec(sql), "");
  }
  BuildVersion15(path);
  for (const std::string& file : {path, latest}) {
    SCOPED_TRACE(file);
    const std::string bytes = ReadFile(file);
    for (bool cancel : {false, true}) {
      NoteDocument doc;
      FormatIO_Sqlite fmt;
      fmt.SetDoc(doc);
      ProgressInfo::SetCanceled(cancel);
      EXPECT_EQ(fmt.Load(file.c_str(), doc, -1), cancel ? DOC_LOAD_ABORTED : DOC_LOAD_OK);
      ProgressInfo::SetCanceled(false);
      fmt.Close();
      EXPECT_TRUE(ReadFile(file) == bytes) << (cancel ? "cancelled" : "closed");
    }
    // A save writes them.
    NoteDocument doc;
    FormatIO_Sqlite fmt;
    fmt.SetDoc(doc);
    ASSERT_EQ(fmt.Load(file.c_str(), doc, -1), DOC_LOAD_OK);
    RecursiveTreeWalker walker(doc);
    ASSERT_EQ(fmt.Save(file.c_str(), walker), DOC_SAVE_OK);
    fmt.Close();
    RawSqlite raw(file);
    EXPECT_TRUE(raw.Names("table").count("deletions"));
    for (const char* i : quillery::sqlite_schema::kNoteLookupIndexNames) EXPECT_TRUE(raw.Names("index").count(i)) << i;
  }
}
