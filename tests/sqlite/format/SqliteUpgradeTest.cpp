// Format versions and upgrades: every version is recognised from the schema
// and brought to the latest one; databases of older versions are built here
// by hand; a failed upgrade leaves the file as it was.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include "base/Log.h"
#include "save/SafeSave.h"
#include "common/RawSqlite.h"
#include "common/TempDir.h"
#include "model/NoteDocument.h"
#include "sqlite/format/FormatIO_Sqlite.h"
#include "sqlite/format/SqliteFormatAttach.h"
#include "sqlite/format/SqliteSchema.h"

using quillery::LogCapture;
using quillery_test::RawSqlite;
using quillery_test::TempDir;
namespace schema = quillery::sqlite_schema;

namespace {

void Attach(FormatIO_Sqlite& fmt, const std::string& path) { quillery_test::AttachSqliteFormat(fmt, path); }

std::string Latest(RawSqlite& raw) {
  std::string sql;
  for (const char* t : schema::kCreateTableSql) sql += std::string(t) + ";";
  for (const char* i : schema::kCreateIndexSql) sql += std::string(i) + ";";
  return raw.Exec(sql);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Where two byte strings first differ, for a readable failure message.
std::string FirstDiff(const std::string& a, const std::string& b) {
  size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
  return "sizes " + std::to_string(a.size()) + "/" + std::to_string(b.size()) + ", first difference at " +
         std::to_string(i);
}

// Upgrades the file through a fresh format object; returns the error code.
int Upgrade(const std::string& path, int* detected = nullptr) {
  FormatIO_Sqlite fmt;
  Attach(fmt, path);
  CppSQLite3Exception e;
  fmt.CheckFormatUpgrade(e);
  if (detected) *detected = fmt._nDetectedVersion;
  return e.errorCode();
}

int Detect(const std::string& path) {
  FormatIO_Sqlite fmt;
  Attach(fmt, path);
  return fmt.CalcFormatVersion();
}

// Every table and index of the latest schema, with at least its columns.
void ExpectLatestShape(const std::string& path) {
  TempDir ref;
  RawSqlite fresh(ref / "fresh.qydb");
  ASSERT_EQ(Latest(fresh), "");
  RawSqlite raw(path);
  for (const char* table : schema::kTableNames) {
    const std::set<std::string> have = raw.ColumnSet(table);
    for (const std::string& col : fresh.ColumnSet(table))
      EXPECT_TRUE(have.count(col)) << table << "." << col << " missing";
  }
  for (const char* idx : schema::kIndexNames) EXPECT_TRUE(raw.Names("index").count(idx)) << idx;
  EXPECT_EQ(Detect(path), 21);
  EXPECT_EQ(raw.Scalar("PRAGMA integrity_check"), "ok");
}

// Tables of a version-18 file whose shape differs from the latest one:
// columns added by ALTER sit at the end, notes still has is_task and allows
// an empty title, tasks lacks the alarm columns, links keep their text.
const char* kVersion18 =
    "CREATE TABLE [notes] ([note_id] VARCHAR(30) UNIQUE NOT NULL PRIMARY KEY,  [note_title] TEXT NULL,  "
    "[note_text] TEXT NULL,  [date_created] INTEGER NULL,  [date_modified] INTEGER NULL,  [icon_type] INTEGER "
    "NULL,  [icon_info] VARCHAR(2048) NULL,  [is_finished] BOOLEAN NOT NULL,  [is_task] BOOLEAN NOT NULL,  "
    "[is_readonly] BOOLEAN NULL,  [is_template] BOOLEAN NULL,  [note_clone_id] VARCHAR(30) NULL,  "
    "[syntax_highlight] VARCHAR(120) NULL,  [use_custom_txt_color] BOOLEAN NULL,  [use_custom_bkg_color] BOOLEAN "
    "NULL,  [use_custom_font] BOOLEAN NULL,  [custom_txt_color] VARCHAR(50) NULL,  [custom_bkg_color] VARCHAR(50) "
    "NULL,  [custom_font] VARCHAR(255) NULL,  [use_custom_note_bkg_color] BOOLEAN  NULL,  [custom_note_bkg_color] "
    "VARCHAR(50) NULL,  [hash] VARCHAR(64) NULL,  [hash_html] VARCHAR(64) NULL);"
    "CREATE TABLE [tasks] ([task_id] INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT,  [note_id] VARCHAR(30) UNIQUE "
    "NOT NULL,  [date_created] INTEGER NULL,  [date_due] INTEGER NULL,  [date_completed] INTEGER NULL,  "
    "[date_expire] INTEGER NULL,  [date_last_acknowledged] INTEGER NULL,  [task_priority] INTEGER NULL,  "
    "[task_status] INTEGER NULL,  [task_repeating] INTEGER NULL,  [alarm_sound] TEXT NULL,  [script_path] TEXT "
    "NULL);"
    "CREATE TABLE [attachments] ([att_id] INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  [note_id] VARCHAR(30) NULL,  "
    "[note_pos] INTEGER NULL,  [att_title] VARCHAR(255) NOT NULL,  [att_data] BLOB NOT NULL,  [date_created] "
    "INTEGER NULL,  [att_size] INTEGER NOT NULL DEFAULT 0,  [hash] VARCHAR(64) NULL,  [att_code] VARCHAR(30) NULL);"
    "CREATE TABLE [links] ([lnk_id] INTEGER UNIQUE NOT NULL PRIMARY KEY AUTOINCREMENT,  [note_id] VARCHAR(30) NOT "
    "NULL,  [note_offset] INTEGER NULL,  [lnk_text] TEXT NULL,  [target_url] TEXT NULL,  [target_note_id] "
    "VARCHAR(30) NULL);";

// The rest of a version-18 file has the latest shape.
std::string BuildVersion18(RawSqlite& raw) {
  std::string err = raw.Exec(kVersion18);
  if (!err.empty()) return err;
  for (int i = 0; i < schema::kTableCount; ++i) {
    const std::string name = schema::kTableNames[i];
    if (name == "notes" || name == "tasks" || name == "attachments" || name == "links") continue;
    err = raw.Exec(schema::kCreateTableSql[i]);
    if (!err.empty()) return err;
  }
  for (const char* idx : schema::kCreateIndexSql) {
    if (std::string(idx).find("[IDX_ICONS]") != std::string::npos) continue;  // no step creates it
    err = raw.Exec(idx);
    if (!err.empty()) return err;
  }
  return raw.Exec(
      "INSERT INTO notes (note_id, note_title, note_text, date_created, date_modified, icon_type, icon_info, "
      "is_finished, is_task, is_readonly, note_clone_id, syntax_highlight, custom_font, hash, hash_html) VALUES "
      "('n1', 'First', 'text one', 1000, 2000, 3, 'icon', 1, 1, 1, 'n2', 'cpp', 'Sans 10', 'h1', 'hh1'), "
      "('n2', 'Second', 'text two', 3000, 4000, -1, '', 0, 0, 0, '', '', '', '', '');"
      "INSERT INTO tasks (note_id, date_due, task_priority, alarm_sound, script_path) VALUES "
      "('n1', 5000, 2, 'bell.wav', '/bin/true');"
      "INSERT INTO attachments (note_id, note_pos, att_title, att_data, att_size, hash, att_code) VALUES "
      "('n1', 0, 'a.txt', X'010203', 3, 'ah', 'code1');"
      "INSERT INTO links (note_id, note_offset, lnk_text, target_url, target_note_id) VALUES "
      "('n1', 4, 'hello', 'http://x', ''), ('n2', -1, '', '', 'n1');");
}

}  // namespace

TEST(SqliteUpgrade, EveryVersionIsDetectedAndUpgraded) {
  // A latest-version file with the feature of one probe taken away is found
  // at that version and upgraded back to the latest shape; version 0 is a
  // database without any table.
  const char* kTakeAway[21] = {
      nullptr,
      "ALTER TABLE notes DROP COLUMN is_readonly",
      "ALTER TABLE notes DROP COLUMN note_clone_id",
      "ALTER TABLE notes DROP COLUMN syntax_highlight",
      "ALTER TABLE tasks DROP COLUMN alarm_sound",
      "ALTER TABLE formatting DROP COLUMN fmt_value",
      "DROP TABLE custom_properties",
      "ALTER TABLE notes DROP COLUMN use_custom_txt_color",
      "DROP TABLE icons",
      "ALTER TABLE attachments DROP COLUMN att_size",
      "ALTER TABLE notes DROP COLUMN use_custom_note_bkg_color",
      "DROP INDEX IDX_NOTE_HASH; ALTER TABLE notes DROP COLUMN hash",
      "DROP INDEX IDX_NOTE_HASH_HTML; ALTER TABLE notes DROP COLUMN hash_html",
      "DROP TABLE anchors",
      "DROP INDEX IDX_NOTE_HASH",
      "DROP TABLE deletions",
      "ALTER TABLE tasks DROP COLUMN script_path",
      "DROP TABLE deletions_attachments",
      "ALTER TABLE tasks DROP COLUMN alarm_mode",
      "ALTER TABLE attachments DROP COLUMN att_target",
      "ALTER TABLE links DROP COLUMN lnk_length; ALTER TABLE links ADD lnk_text TEXT",
  };
  for (int version = 0; version <= 20; ++version) {
    SCOPED_TRACE(version);
    TempDir dir;
    const std::string path = dir / "doc.qydb";
    {
      RawSqlite raw(path);
      if (version == 0) {
        ASSERT_EQ(raw.Exec("PRAGMA user_version=1"), "");
      } else {
        ASSERT_EQ(Latest(raw), "");
        ASSERT_EQ(raw.Exec(kTakeAway[version]), "");
      }
    }
    EXPECT_EQ(Detect(path), version);
    LogCapture cap;
    int detected = -2;
    EXPECT_EQ(Upgrade(path, &detected), 0);
    EXPECT_EQ(detected, version);
    if (version == 0) {
      EXPECT_FALSE(cap.Contains("update format from version"));
    }
    if (version >= 1 && version <= 18) {
      EXPECT_TRUE(cap.Has("Sqlite database: update format from version " + std::to_string(version) + " to " +
                          std::to_string(version + 1) + "\n"));
      EXPECT_TRUE(cap.Has("Sqlite database: update format from version 18 to 19\n"));
    }
    EXPECT_FALSE(cap.Contains("update format from version 19"));
    EXPECT_FALSE(cap.Contains("format upgrade failed"));
    ExpectLatestShape(path);
  }
}

TEST(SqliteUpgrade, VersionOneFileWithData) {
  TempDir dir;
  const std::string path = dir / "old.qydb";
  {
    RawSqlite raw(path);
    ASSERT_EQ(raw.Exec(
                  "CREATE TABLE [notes] ([note_id] VARCHAR(30) UNIQUE NOT NULL PRIMARY KEY,  [note_title] TEXT NOT "
                  "NULL,  [note_text] TEXT NULL,  [date_created] INTEGER NULL,  [date_modified] INTEGER NULL,  "
                  "[icon_type] INTEGER NULL,  [icon_info] VARCHAR(2048) NULL,  [is_finished] BOOLEAN NOT NULL,  "
                  "[is_task] BOOLEAN NOT NULL);"
                  "CREATE TABLE [notes_tree] ([id] INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  [note_id] VARCHAR(30) "
                  "UNIQUE NOT NULL,  [note_pid] VARCHAR(30) NOT NULL,  [note_pos] INTEGER NOT NULL,  [is_expanded] "
                  "BOOLEAN NULL);"
                  "CREATE TABLE [images] ([image_id] INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  [note_id] "
                  "VARCHAR(30) NULL,  [note_offset] INTEGER NULL,  [image_title] VARCHAR(255) NULL,  [image_data] "
                  "BLOB NULL,  [is_png] BOOLEAN NULL);"
                  "CREATE TABLE [attachments] ([att_id] INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  [note_id] "
                  "VARCHAR(30) NULL,  [note_pos] INTEGER NULL,  [att_title] VARCHAR(255) NOT NULL,  [att_data] BLOB "
                  "NOT NULL,  [date_created] INTEGER NULL);"
                  "CREATE TABLE [formatting] ([fmt_id] INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  [note_id] "
                  "VARCHAR(30) NULL,  [note_offset] INTEGER NULL,  [fmt_tag] INTEGER NULL,  [fmt_color] VARCHAR(50) "
                  "NULL,  [fmt_font] VARCHAR(255) NULL);"
                  "CREATE TABLE [tags] ([tag_id] INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT,  [tag_name] TEXT UNIQUE "
                  "NOT NULL);"
                  "CREATE TABLE [tags_notes] ([id] INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT,  [note_id] VARCHAR(30) "
                  "NOT NULL,  [tag_id] INTEGER NOT NULL);"
                  "CREATE TABLE [links] ([lnk_id] INTEGER UNIQUE NOT NULL PRIMARY KEY AUTOINCREMENT,  [note_id] "
                  "VARCHAR(30) NOT NULL,  [note_offset] INTEGER NULL,  [lnk_text] TEXT NULL,  [target_url] TEXT "
                  "NULL,  [target_note_id] VARCHAR(30) NULL);"
                  "CREATE INDEX [IDX_NOTES_TREE] ON [notes_tree]([note_id] DESC);"
                  "CREATE INDEX [IDX_LINKS] ON [links]([note_id] DESC);"
                  "CREATE INDEX [IDX_FORMATTING] ON [formatting]([note_id] DESC);"
                  "INSERT INTO notes VALUES ('n1', 'Title', 'some text', 100, 200, 2, 'x.png', 1, 0);"
                  "INSERT INTO notes_tree (note_id, note_pid, note_pos, is_expanded) VALUES ('n1', '', 0, 1);"
                  "INSERT INTO attachments (note_id, note_pos, att_title, att_data) VALUES ('n1', 0, 'f', "
                  "X'00112233445566');"
                  "INSERT INTO formatting (note_id, note_offset, fmt_tag, fmt_color, fmt_font) VALUES "
                  "('n1', 0, 7, '#ff0000', '');"
                  "INSERT INTO links (note_id, note_offset, lnk_text, target_url) VALUES ('n1', 2, 'abc', 'u');"),
              "");
  }
  EXPECT_EQ(Detect(path), 1);
  FormatIO_Sqlite fmt;
  Attach(fmt, path);
  CppSQLite3Exception e;
  fmt.CheckFormatUpgrade(e);
  ASSERT_EQ(e.errorCode(), 0) << e.errorMessage();
  EXPECT_TRUE(fmt._bHasIsTaskColumn);  // no step rebuilds notes for this file
  fmt.Close();
  ExpectLatestShape(path);
  RawSqlite raw(path);
  EXPECT_EQ(raw.Rows("SELECT note_id, note_title, note_text, date_created, date_modified, icon_type, icon_info, "
                     "is_finished, is_readonly, note_clone_id FROM notes"),
            std::vector<std::string>{"n1|Title|some text|100|200|2|x.png|1|NULL|NULL"});
  EXPECT_EQ(raw.Rows("SELECT att_size, att_title FROM attachments"), std::vector<std::string>{"7|f"});
  EXPECT_EQ(raw.Rows("SELECT note_offset, lnk_length, target_url FROM links"), std::vector<std::string>{"2|3|u"});
  EXPECT_FALSE(raw.ColumnSet("links").count("lnk_text"));
  EXPECT_EQ(raw.Rows("SELECT fmt_tag, fmt_color, fmt_value FROM formatting"),
            std::vector<std::string>{"7|#ff0000|NULL"});
}

TEST(SqliteUpgrade, RebuiltTablesKeepEveryValueInItsColumn) {
  TempDir dir;
  const std::string path = dir / "v18.qydb";
  {
    RawSqlite raw(path);
    ASSERT_EQ(BuildVersion18(raw), "");
    // An early version's properties table, and an empty current one.
    ASSERT_EQ(raw.Exec("CREATE TABLE [custo_properties] ([id] INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  "
                       "[note_id] VARCHAR(30) NULL,  [prop_name] VARCHAR(40) NOT NULL,  [prop_value] VARCHAR(255) "
                       "NULL);"
                       "INSERT INTO custo_properties (note_id, prop_name, prop_value) VALUES ('n1', 'k', 'v'), "
                       "(NULL, 'doc', 'd');"),
              "");
  }
  EXPECT_EQ(Detect(path), 18);
  FormatIO_Sqlite fmt;
  Attach(fmt, path);
  LogCapture cap;
  CppSQLite3Exception e;
  fmt.CheckFormatUpgrade(e);
  ASSERT_EQ(e.errorCode(), 0) << e.errorMessage();
  EXPECT_FALSE(fmt._bHasIsTaskColumn);  // the rebuilt notes table dropped it
  fmt.Close();
  ExpectLatestShape(path);
  RawSqlite raw(path);
  EXPECT_EQ(raw.Columns("notes").size(), 22u);
  EXPECT_EQ(raw.Rows("SELECT note_id, note_title, note_text, note_clone_id, date_created, date_modified, "
                     "icon_type, icon_info, is_finished, is_readonly, syntax_highlight, custom_font, hash, "
                     "hash_html FROM notes ORDER BY note_id"),
            (std::vector<std::string>{"n1|First|text one|n2|1000|2000|3|icon|1|1|cpp|Sans 10|h1|hh1",
                                      "n2|Second|text two||3000|4000|-1||0|0||||"}));
  EXPECT_EQ(raw.Rows("SELECT note_id, date_due, task_priority, alarm_sound, script_path, alarm_mode FROM tasks"),
            std::vector<std::string>{"n1|5000|2|bell.wav|/bin/true|NULL"});
  EXPECT_EQ(raw.Rows("SELECT lnk_id, note_id, note_offset, lnk_length, target_url, target_note_id FROM links"),
            (std::vector<std::string>{"1|n1|4|5|http://x|", "2|n2|-1|0||n1"}));
  EXPECT_EQ(raw.Rows("SELECT att_code, att_size, att_target FROM attachments"),
            std::vector<std::string>{"code1|3|NULL"});
  EXPECT_EQ(raw.Rows("SELECT note_id, prop_name, prop_value FROM custom_properties ORDER BY id"),
            (std::vector<std::string>{"n1|k|v", "NULL|doc|d"}));
  EXPECT_FALSE(raw.Names("table").count("custo_properties"));
  EXPECT_FALSE(raw.Names("table").count("notes_old"));
}

TEST(SqliteUpgrade, OldPropertiesJoinACurrentTableThatHasRows) {
  TempDir dir;
  const std::string path = dir / "v18.qydb";
  {
    RawSqlite raw(path);
    ASSERT_EQ(BuildVersion18(raw), "");
    ASSERT_EQ(raw.Exec("CREATE TABLE [custo_properties] ([id] INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  "
                       "[note_id] VARCHAR(30) NULL,  [prop_name] VARCHAR(40) NOT NULL,  [prop_value] VARCHAR(255) "
                       "NULL);"
                       "INSERT INTO custo_properties (note_id, prop_name, prop_value) VALUES ('n1', 'old', '1');"
                       "INSERT INTO custom_properties (note_id, prop_name, prop_value) VALUES ('n2', 'new', '2');"),
              "");
  }
  ASSERT_EQ(Upgrade(path), 0);
  RawSqlite raw(path);
  EXPECT_EQ(raw.Rows("SELECT note_id, prop_name, prop_value FROM custom_properties ORDER BY prop_name"),
            (std::vector<std::string>{"n2|new|2", "n1|old|1"}));
  EXPECT_FALSE(raw.Names("table").count("custo_properties"));
}

TEST(SqliteUpgrade, LatestVersionIsLeftAlone) {
  TempDir dir;
  const std::string path = dir / "doc.qydb";
  {
    RawSqlite raw(path);
    ASSERT_EQ(Latest(raw), "");
  }
  RawSqlite raw(path);
  const std::vector<std::string> before = raw.Rows("SELECT type, name, sql FROM sqlite_master");
  FormatIO_Sqlite fmt;
  Attach(fmt, path);
  LogCapture cap;
  CppSQLite3Exception e;
  fmt.CheckFormatUpgrade(e);
  fmt.CheckFormatUpgrade(e);  // a second time through the same object
  EXPECT_EQ(e.errorCode(), 0);
  EXPECT_EQ(fmt._nDetectedVersion, 21);
  int skips = 0;
  for (const std::string& line : cap.Lines())
    skips += line == "Sqlite database: skip format upgrade check (latest version)\n";
  EXPECT_EQ(skips, 2);
  EXPECT_FALSE(cap.Contains("integrity"));
  EXPECT_EQ(raw.Rows("SELECT type, name, sql FROM sqlite_master"), before);
}

TEST(SqliteUpgrade, RepeatedChainInsideTheTransactionChangesNothing) {
  TempDir dir;
  const std::string path = dir / "doc.qydb";
  {
    RawSqlite raw(path);
    ASSERT_EQ(Latest(raw), "");
    ASSERT_EQ(raw.Exec("DROP TABLE deletions;"
                       "INSERT INTO notes (note_id, note_title, is_finished) VALUES ('n', 't', 0);"),
              "");
  }
  FormatIO_Sqlite fmt;
  Attach(fmt, path);
  CppSQLite3Exception e;
  fmt.CheckFormatUpgrade(e);  // at load
  ASSERT_EQ(e.errorCode(), 0);
  EXPECT_EQ(fmt._nDetectedVersion, 15);
  RawSqlite raw(path);
  const std::vector<std::string> schemaBefore = raw.Rows("SELECT type, name, sql FROM sqlite_master");

  // At a save to the same file the chain runs again inside the long-running
  // transaction, from the version found at load.
  fmt.StartTransaction(e);
  fmt._db.execDML("INSERT INTO notes (note_id, note_title, is_finished) VALUES ('m', 'u', 0)", &e);
  LogCapture cap;
  fmt.CheckFormatUpgrade(e);
  EXPECT_EQ(e.errorCode(), 0);
  EXPECT_EQ(fmt._nDetectedVersion, 15);
  EXPECT_TRUE(cap.Has("Sqlite database: update format from version 15 to 16\n"));
  EXPECT_EQ(sqlite3_get_autocommit(fmt._db.handle()), 0);  // still inside it
  fmt.CommitTransaction(e);
  EXPECT_EQ(e.errorCode(), 0);
  EXPECT_EQ(raw.Rows("SELECT type, name, sql FROM sqlite_master"), schemaBefore);
  EXPECT_EQ(raw.Scalar("SELECT count(*) FROM notes"), "2");
}

TEST(SqliteUpgrade, FailedRebuildLeavesTheFileUntouched) {
  TempDir dir;
  const std::string path = dir / "v12.qydb";
  {
    RawSqlite raw(path);
    ASSERT_EQ(BuildVersion18(raw), "");
    // Back to version 12, with a note whose title an old version left empty:
    // the rebuild of notes cannot copy it under the current definition.
    ASSERT_EQ(raw.Exec("DROP INDEX IDX_NOTE_HASH_HTML; ALTER TABLE notes DROP COLUMN hash_html;"
                       "DROP TABLE anchors; DROP TABLE deletions;"
                       "INSERT INTO notes (note_id, note_title, is_finished, is_task) VALUES ('bad', NULL, 0, 0);"),
              "");
  }
  EXPECT_EQ(Detect(path), 12);
  const std::string bytes = ReadFile(path);
  LogCapture cap;
  int detected = -1;
  EXPECT_EQ(Upgrade(path, &detected), SQLITE_CONSTRAINT_NOTNULL);
  EXPECT_EQ(detected, 12);
  EXPECT_TRUE(cap.Contains("Sqlite format [insert from tmp]: Error: ", LOG_ERROR));
  EXPECT_TRUE(cap.Has("Sqlite database: format upgrade failed, the file is left as it was\n"));
  EXPECT_TRUE(ReadFile(path) == bytes) << FirstDiff(ReadFile(path), bytes);
  // Still usable: readable, at its old version, and the next try fails the
  // same way without damage.
  RawSqlite raw(path);
  EXPECT_EQ(raw.Scalar("SELECT count(*) FROM notes"), "3");
  EXPECT_FALSE(raw.Names("table").count("notes_old"));
  EXPECT_EQ(Detect(path), 12);
}

TEST(SqliteUpgrade, StepThatGoesOnStillFailsTheUpgradeAndRollsBack) {
  TempDir dir;
  const std::string path = dir / "v12.qydb";
  {
    RawSqlite raw(path);
    ASSERT_EQ(Latest(raw), "");
    // Version 12, and an index that takes the name of the anchors table.
    ASSERT_EQ(raw.Exec("DROP INDEX IDX_NOTE_HASH_HTML; ALTER TABLE notes DROP COLUMN hash_html;"
                       "DROP TABLE anchors; CREATE INDEX anchors ON notes(note_title);"),
              "");
  }
  const std::string bytes = ReadFile(path);
  LogCapture cap;
  EXPECT_EQ(Upgrade(path), SQLITE_ERROR);
  EXPECT_TRUE(cap.Contains("there is already an index named anchors", LOG_ERROR));
  // The later steps were still tried.
  EXPECT_TRUE(cap.Has("Sqlite database: update format from version 17 to 18\n"));
  EXPECT_FALSE(cap.Contains("integrity"));
  EXPECT_TRUE(ReadFile(path) == bytes) << FirstDiff(ReadFile(path), bytes);
  EXPECT_EQ(Detect(path), 12);
}

TEST(SqliteUpgrade, DamagedIndexIsRebuilt) {
  TempDir dir;
  const std::string path = dir / "doc.qydb";
  {
    RawSqlite raw(path);
    ASSERT_EQ(Latest(raw), "");
    ASSERT_EQ(raw.Exec("ALTER TABLE attachments DROP COLUMN att_target;"
                       "INSERT INTO notes (note_id, note_title, is_finished, hash) VALUES ('a','t',0,'h1'), "
                       "('b','u',0,'h2');"
                       "PRAGMA writable_schema=ON;"
                       "UPDATE sqlite_master SET sql='CREATE INDEX [IDX_NOTE_HASH] ON [notes]([note_title] DESC)' "
                       "WHERE name='IDX_NOTE_HASH';"),
              "");
  }
  {
    RawSqlite raw(path);
    ASSERT_NE(raw.Scalar("PRAGMA integrity_check"), "ok");
  }
  LogCapture cap;
  EXPECT_EQ(Upgrade(path), 0);
  EXPECT_TRUE(cap.Contains("Sqlite index corruption detected, rebuilding indexes: ", LOG_WARNING));
  RawSqlite raw(path);
  EXPECT_EQ(raw.Scalar("PRAGMA integrity_check"), "ok");
}

TEST(SqliteUpgrade, ReadOnlyFileIsNotUpgraded) {
  TempDir dir;
  const std::string path = dir / "old.qydb";
  {
    RawSqlite raw(path);
    ASSERT_EQ(Latest(raw), "");
    ASSERT_EQ(raw.Exec("DROP TABLE deletions"), "");
  }
  chmod(dir.Path().c_str(), 0755);
  chmod(path.c_str(), 0444);
  const std::string bytes = ReadFile(path);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // A root process may write anything; drop to an ordinary user first.
    if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
    LogCapture cap;
    FormatIO_Sqlite fmt;
    CppSQLite3Exception e;
    fmt._db.open(path.c_str(), &e);
    fmt._strPath = path;
    fmt.CheckFormatUpgrade(e);
    const bool ok = e.errorCode() == 0 && fmt._nDetectedVersion == -1 &&
                    cap.Has("Sqlite database: skip format upgrade check (read-only file)\n");
    fmt.Close();
    // A load for writing says why it cannot go on, rather than "damaged".
    FormatIO_Base::SetEnableSharing(true);
    FormatIO_Sqlite load;
    NoteDocument doc;
    const bool named = load.Load(path.c_str(), doc, -1) == DOC_LOAD_FORMAT_ERROR &&
                       quillery::TakeFailureReason() ==
                           "the file is at an older format version (15) and read-only: it cannot be upgraded";
    _exit(ok && named ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(ReadFile(path) == bytes) << FirstDiff(ReadFile(path), bytes);
}

TEST(SqliteUpgrade, TableColumnHelpers) {
  TempDir dir;
  const std::string path = dir / "doc.qydb";
  FormatIO_Sqlite fmt;
  Attach(fmt, path);
  CppSQLite3Exception e;
  fmt.CreateTables(e);
  EXPECT_EQ(fmt.getTableColumnsCount("notes"), 22);
  std::string list;
  EXPECT_TRUE(fmt.getTableColumnsList(list, "tags", -1));
  EXPECT_EQ(list, "tag_id,tag_name");
  list.clear();
  EXPECT_TRUE(fmt.getTableColumnsList(list, "notes", 0));  // 0 still takes the first
  EXPECT_EQ(list, "note_id");
  list.clear();
  EXPECT_TRUE(fmt.getTableColumnsList(list, "notes", 3));
  EXPECT_EQ(list, "note_id,note_title,note_text");
  list.clear();
  EXPECT_TRUE(fmt.getTableColumnsList(list, "no_such_table", -1));
  EXPECT_EQ(list, "");
  LogCapture cap;
  EXPECT_EQ(fmt.getTableColumnsCount("no_such_table"), -1);
  EXPECT_TRUE(cap.Contains("no such table", LOG_ERROR));
}

TEST(SqliteUpgrade, UniquePropertiesTableIsRebuiltWithItsRows) {
  TempDir dir;
  const std::string path = dir / "doc.qydb";
  const char* kUnique =
      "DROP TABLE custom_properties;"
      "CREATE TABLE [custom_properties] ([id] INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  [note_id] VARCHAR(30) "
      "NULL,  [prop_name] VARCHAR(40) UNIQUE NOT NULL,  [prop_value] VARCHAR(255) NULL);"
      "INSERT INTO custom_properties (note_id, prop_name, prop_value) VALUES ('n1', 'a', '1'), (NULL, 'b', '2');";
  {
    RawSqlite raw(path);
    ASSERT_EQ(Latest(raw), "");
    ASSERT_EQ(raw.Exec(kUnique), "");
  }
  NoteDocument doc;
  {
    // A plug-in's document leaves the file alone.
    doc.m_bPlugin = true;
    FormatIO_Sqlite fmt;
    Attach(fmt, path);
    fmt.SetDoc(doc);
    fmt.FixCustomPropertiesTable();
    RawSqlite raw(path);
    EXPECT_NE(raw.Scalar("SELECT sql FROM sqlite_master WHERE name='custom_properties'").find("UNIQUE"),
              std::string::npos);
    doc.m_bPlugin = false;
  }
  FormatIO_Sqlite fmt;
  Attach(fmt, path);
  fmt.SetDoc(doc);
  fmt.FixCustomPropertiesTable();
  RawSqlite raw(path);
  EXPECT_EQ(raw.Scalar("SELECT sql FROM sqlite_master WHERE name='custom_properties'").find("UNIQUE"),
            std::string::npos);
  EXPECT_EQ(raw.Rows("SELECT id, note_id, prop_name, prop_value FROM custom_properties ORDER BY id"),
            (std::vector<std::string>{"1|n1|a|1", "2|NULL|b|2"}));
  // Now a second property of the same name fits.
  EXPECT_EQ(raw.Exec("INSERT INTO custom_properties (note_id, prop_name) VALUES ('n2', 'a')"), "");
  // A table without UNIQUE is left as it is.
  const std::string sql = raw.Scalar("SELECT sql FROM sqlite_master WHERE name='custom_properties'");
  fmt.FixCustomPropertiesTable();
  EXPECT_EQ(raw.Scalar("SELECT sql FROM sqlite_master WHERE name='custom_properties'"), sql);
}

TEST(SqliteUpgrade, EmptyFileGetsTheWholeSchema) {
  TempDir dir;
  const std::string path = dir / "empty.qydb";
  { std::ofstream(path.c_str()); }
  int detected = -1;
  LogCapture cap;
  EXPECT_EQ(Upgrade(path, &detected), 0);
  EXPECT_EQ(detected, 0);
  EXPECT_FALSE(cap.Contains("integrity"));
  ExpectLatestShape(path);
}

TEST(SqliteUpgrade, UnreadableSchemaIsReportedNotTakenForVersionZero) {
  TempDir dir;
  {
    // Not a database: the error reaches the caller and nothing is written.
    const std::string path = dir / "text.qydb";
    std::ofstream(path.c_str()) << std::string(4096, 'x');
    const std::string bytes = ReadFile(path);
    int detected = 0;
    EXPECT_EQ(Upgrade(path, &detected), SQLITE_NOTADB);
    EXPECT_EQ(detected, -1);
    EXPECT_TRUE(ReadFile(path) == bytes);
  }
  {
    // Another process holds the file: SQLITE_BUSY, which a load reports as a
    // file it cannot open, not as a format error.
    const std::string path = dir / "held.qydb";
    RawSqlite other(path);
    ASSERT_EQ(Latest(other), "");
    ASSERT_EQ(other.Exec("DROP TABLE deletions; BEGIN EXCLUSIVE; INSERT INTO tags (tag_name) VALUES ('x')"), "");
    FormatIO_Sqlite fmt;
    Attach(fmt, path);
    fmt._db.setBusyTimeout(0);
    CppSQLite3Exception e;
    fmt.CheckFormatUpgrade(e);
    EXPECT_EQ(e.errorCode() & 0xff, SQLITE_BUSY);
    EXPECT_EQ(fmt._nDetectedVersion, -1);  // found out later, once readable
    ASSERT_EQ(other.Exec("COMMIT"), "");
    CppSQLite3Exception e2;
    fmt.CheckFormatUpgrade(e2);
    EXPECT_EQ(e2.errorCode(), 0);
    EXPECT_EQ(fmt._nDetectedVersion, 15);
  }
}
