#pragma once

// Test databases for the reading side of the SQLite format: a file with the
// current schema (created by the format itself), filled with plain SQL
// through a connection of the test's own, and documents loaded from it.

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "common/RawSqlite.h"
#include "common/TempDir.h"
#include "base/Progress.h"
#include "model/FileFormatFactory.h"
#include "model/NoteDocument.h"
#include "sqlite/format/FormatIO_Sqlite.h"

namespace quillery_test {

// A raw connection, as another program (or process) would hold it, that
// fails the test when a statement of the test's own data fails.
class RawDb : public RawSqlite {
 public:
  explicit RawDb(const std::string& path) : RawSqlite(path) {}

  void Exec(const std::string& sql) { EXPECT_EQ(RawSqlite::Exec(sql), "") << sql; }
  // Runs sql with its one "?" bound to bytes as a blob.
  void ExecBlob(const std::string& sql, const std::string& bytes) {
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(handle(), sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sql;
    sqlite3_bind_blob(st, 1, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
    EXPECT_EQ(sqlite3_step(st), SQLITE_DONE) << sql;
    sqlite3_finalize(st);
  }
};

// Creates a database with every table and index of the current format.
inline void CreateSchema(const std::string& path) {
  FormatIO_Sqlite fmt;
  CppSQLite3Exception err;
  fmt._db.open(path.c_str(), &err);
  fmt.CreateTables(err);
  fmt.CreateIndexes(err);
  ASSERT_EQ(err.errorCode(), 0) << (err.errorMessage() ? err.errorMessage() : "");
  fmt._db.close();
  RawDb db(path);
  db.Exec("INSERT INTO options (opt_name, opt_value) VALUES ('format_version', '21')");
}

// A note row and its tree row; text NULL when text is "<null>".
inline void AddNote(RawDb& db, const std::string& id, const std::string& pid, int pos, const std::string& title,
                    const std::string& text = "", const std::string& extraCols = "",
                    const std::string& extraVals = "") {
  db.Exec("INSERT INTO notes (note_id, note_title, note_text, is_finished" + extraCols + ") VALUES ('" + id +
          "', '" + title + "', " + (text == "<null>" ? std::string("NULL") : "'" + text + "'") + ", 0" + extraVals +
          ")");
  db.Exec("INSERT INTO notes_tree (note_id, note_pid, note_pos, is_expanded) VALUES ('" + id + "', '" + pid +
          "', " + std::to_string(pos) + ", 0)");
}

// A 2x2 picture, encoded as PNG (png) or JPEG.
inline std::string TinyPicture(bool png = true) {
  GdkPixbuf* pix = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 2, 2);
  gdk_pixbuf_fill(pix, 0x336699ff);
  gchar* buf = nullptr;
  gsize len = 0;
  gdk_pixbuf_save_to_buffer(pix, &buf, &len, png ? "png" : "jpeg", nullptr, nullptr);
  std::string out(buf ? buf : "", buf ? len : 0);
  g_free(buf);
  g_object_unref(pix);
  return out;
}

inline FormatIO_Base* CreateSqliteFormat() { return new FormatIO_Sqlite; }

// Registers the format with the factory for the test's lifetime, resets
// progress and sharing, and gives each test a fresh folder.
class SqliteLoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FileFormatFactory::Get().Register(FORMAT_QYDB, &CreateSqliteFormat);
    ProgressInfo::Reset();
    FormatIO_Base::SetEnableSharing(false);
  }
  void TearDown() override {
    ProgressInfo::Reset();
    FormatIO_Base::SetEnableSharing(false);
  }
  std::string NewDb(const std::string& name = "doc.qydb") {
    const std::string path = m_dir / name;
    CreateSchema(path);
    return path;
  }
  // The document's SQLite loader (null when it has none).
  static FormatIO_Sqlite* Loader(NoteDocument& doc) { return dynamic_cast<FormatIO_Sqlite*>(doc.GetLoader()); }
  static NoteNode* Note(NoteDocument& doc, const std::string& id) {
    const int idx = doc.GetIdxFromID(id);
    return idx >= 0 ? &doc.GetNodeByIdx(idx) : nullptr;
  }

  TempDir m_dir;
};

}  // namespace quillery_test
