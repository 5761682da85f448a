// Where the SQLite format's parts meet the model and each other: what one
// part writes must be what another reads or looks up, whatever else the
// document did in between.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "base/Log.h"
#include "model/FileFormatFactory.h"
#include "model/RecursiveTreeWalker.h"
#include "sqlite/format/SqliteSchema.h"
#include "sqlite/format/SqliteWriteTestUtil.h"

using namespace qysqlw;

namespace {

class SqliteSeam : public ::testing::Test {
 protected:
  void SetUp() override {
    FormatIO_Base::SetEnableSharing(true);
    FileFormatFactory::Get().Register(FORMAT_QYDB, []() -> FormatIO_Base* { return new FormatIO_Sqlite; });
  }
  void TearDown() override { FileFormatFactory::Get().Register(FORMAT_QYDB, nullptr); }

  TempDir dir;
};

std::string PlanOf(FormatIO_Sqlite& fmt, const std::string& query) {
  std::string plan;
  for (const auto& row : QueryOwn(fmt, ("EXPLAIN QUERY PLAN " + query).c_str()))
    if (!row.empty()) plan += row.back() + "\n";
  return plan;
}

// Refuses every insert into links (statements compile again under it).
int RefuseLinkInserts(void*, int action, const char* table, const char*, const char*, const char*) {
  return action == SQLITE_INSERT && table && std::string(table) == "links" ? SQLITE_DENY : SQLITE_OK;
}

// Every per-note lookup of a fetch, an update or a rename finds its rows
// through an index: a scan per note makes fetching a whole document
// quadratic in its size.
TEST_F(SqliteSeam, PerNoteLookupsUseAnIndex) {
  NoteDocument doc;
  EveryFeatureDocument(doc);
  const std::string path = dir / "plan.qydb";
  int r = -1;
  std::unique_ptr<FormatIO_Sqlite> fmt = SaveNew(doc, path, &r);
  ASSERT_EQ(r, 0);
  for (const char* table : {"notes", "notes_tree", "images", "attachments", "formatting", "tags_notes", "links",
                            "tasks", "custom_properties", "icons", "anchors"}) {
    SCOPED_TRACE(table);
    const std::string plan = PlanOf(*fmt, std::string("SELECT * FROM ") + table + " WHERE note_id='TOP'");
    EXPECT_NE(plan.find("USING"), std::string::npos) << plan;
    EXPECT_EQ(plan.find("SCAN"), std::string::npos) << plan;
  }
  fmt.reset();

  // A file of the latest version made without those indexes gets them when
  // it is opened for writing.
  {
    CppSQLite3DB raw;
    raw.open(path.c_str());
    for (const char* name : quillery::sqlite_schema::kNoteLookupIndexNames)
      raw.execDML((std::string("DROP INDEX ") + name).c_str());
  }
  FormatIO_Sqlite reopened;
  NoteDocument back;
  ASSERT_EQ(reopened.Load(path.c_str(), back, -1), 0);
  for (const char* table : {"custom_properties", "anchors"}) {
    SCOPED_TRACE(table);
    const std::string plan = PlanOf(reopened, std::string("SELECT * FROM ") + table + " WHERE note_id='TOP'");
    EXPECT_EQ(plan.find("SCAN"), std::string::npos) << plan;
  }
}

// A save into another database numbers the pictures it writes there. A
// document that stays on its own file must go on naming its own picture
// rows, and one that moves to the new file must name the new rows, whether
// the note was written as it is or as a copy (the top note of a branch):
// otherwise removing or moving a picture hits another one.
TEST_F(SqliteSeam, NotesNameThePictureRowsOfTheFileTheyAreOn) {
  int run = 0;
  for (const char* current : {"FIRST", "SECOND"}) {
    for (bool switchToNew : {false, true}) {
      SCOPED_TRACE(std::string(current) + (switchToNew ? ", save as" : ", save a copy"));
      const std::string tag = std::to_string(run++);
      NoteDocument doc;
      AddNote(doc, "", "ZERO", "Zero", "not saved: x");
      AddNote(doc, "", "FIRST", "First", "one picture: x");
      AddNote(doc, "FIRST", "SECOND", "Second", "two pictures: x and y");
      ASSERT_TRUE(doc.AddNotePicture(doc.GetNodeByIdx(0), 12, "z.png", qycont::TinyPng(), true, -1, -1));
      ASSERT_TRUE(doc.AddNotePicture(doc.GetNodeByIdx(1), 13, "a.png", qycont::TinyPng(), true, -1, -1));
      ASSERT_TRUE(doc.AddNotePicture(doc.GetNodeByIdx(2), 14, "b.png", qycont::TinyPng(), true, -1, -1));
      ASSERT_TRUE(doc.AddNotePicture(doc.GetNodeByIdx(2), 19, "c.png", qycont::TinyPng(), true, -1, -1));
      const std::string path = dir / ("own" + tag + ".qydb");
      RecursiveTreeWalker all(doc);
      ASSERT_EQ(doc.Save(path.c_str(), all), 0);

      const int idx = doc.GetIdxFromID(current);
      NoteNode& note = doc.OnNoteSelected(idx, NIF_ALL, true);
      const int count = note.m_objText.m_lstPictures.GetSize();
      ASSERT_GT(count, 0);
      const std::string copy = dir / ("copy" + tag + ".qydb");
      RecursiveTreeWalker branch(doc, WALK_BRANCH, doc.GetIdxFromID("FIRST"));
      ASSERT_EQ(doc.Save(copy.c_str(), branch, switchToNew), 0);
      FormatIO_Sqlite* loader = dynamic_cast<FormatIO_Sqlite*>(doc.GetLoader());
      ASSERT_NE(loader, nullptr);
      ASSERT_EQ(loader->_strPath, switchToNew ? copy : path);

      const std::string sql = std::string("SELECT group_concat(image_id), group_concat(note_offset) FROM "
                                          "(SELECT image_id, note_offset FROM images WHERE note_id='") +
                              current + "' ORDER BY note_offset)";
      const Rows rows = QueryOwn(*loader, sql.c_str());
      ASSERT_EQ(rows.size(), 1u);
      std::string ids;
      for (int i = 0; i < count; ++i)
        ids += (i ? "," : "") + std::to_string(note.m_objText.m_lstPictures.GetAt(i).nPictureID);
      EXPECT_EQ(ids, rows[0][0]);

      // Removing the last picture removes that one and no other.
      loader->OnNodePixRemoved(note, count - 1);
      const Rows after = QueryOwn(*loader, sql.c_str());
      const std::string offsets = rows[0][1];
      EXPECT_EQ(after[0][1], count == 1 ? std::string() : offsets.substr(0, offsets.rfind(',')));
    }
  }
}

// An update that rewrites a note's pictures and then fails is undone whole;
// the note's pictures go on naming their rows as they were, so a later
// move, removal or byte lookup of the note's pictures reaches its own rows
// and never a picture another note got since.
TEST_F(SqliteSeam, AFailedPictureRewriteLeavesThePictureIdsAsTheyWere) {
  NoteDocument doc;
  AddNote(doc, "", "A", "Alpha", "alpha: x y");
  AddNote(doc, "", "B", "Beta", "beta: x y");
  ASSERT_TRUE(doc.AddNotePicture(doc.GetNodeByIdx(0), 7, "a.png", qycont::TinyPng(), true, -1, -1));
  const std::string path = dir / "undo.qydb";
  int r = -1;
  std::unique_ptr<FormatIO_Sqlite> fmt = SaveNew(doc, path, &r);
  ASSERT_EQ(r, 0);
  NoteNode& a = doc.GetNodeByIdx(doc.GetIdxFromID("A"));
  NoteNode& b = doc.GetNodeByIdx(doc.GetIdxFromID("B"));
  const int64_t stored = a.m_objText.m_lstPictures.GetAt(0).nPictureID;
  ASSERT_GT(stored, 0);

  // The links step fails after the pictures were rewritten.
  LinkInfo link;
  link.strLink = "http://example.com";
  link.nStartOffset = 0;
  link.nTextLength = 5;
  a.m_objText.m_lstLinks.Append(link);
  // (The connection runs no trigger of the file: the refusal is its own.)
  sqlite3_set_authorizer(fmt->_db.handle(), RefuseLinkInserts, nullptr);
  {
    quillery::LogCapture log;
    EXPECT_FALSE(fmt->OnNodeUpdate(a, NIF_PICTURES | NIF_LINKS, false, nullptr));
  }
  EXPECT_EQ(a.m_objText.m_lstPictures.GetAt(0).nPictureID, stored);
  const std::string own = One(*fmt, "SELECT image_id FROM images WHERE note_id='A'");
  EXPECT_EQ(own, std::to_string(stored));

  // B's new picture takes the row number the undone insert had given A.
  PixInfo pix;
  pix.strEncoded = TinyJpeg();
  pix.bPNG = false;
  pix.nOffset = 6;
  b.m_objText.m_lstPictures.Push(pix);
  fmt->OnNodePixAdded(b, b.m_objText.m_lstPictures.GetAt(0), pix.strEncoded);
  const int64_t taken = b.m_objText.m_lstPictures.GetAt(0).nPictureID;
  ASSERT_EQ(taken, stored + 1);
  a.m_objText.m_lstPictures.GetAt(0).nOffset = 8;
  fmt->OnNodePixMoved(a, 0);
  EXPECT_EQ(One(*fmt, "SELECT note_offset FROM images WHERE note_id='A'"), "8");
  EXPECT_EQ(One(*fmt, "SELECT note_offset FROM images WHERE note_id='B'"), "6");

  // Even an ID that names another note's row (however it came about) never
  // moves that picture nor lends its bytes.
  sqlite3_set_authorizer(fmt->_db.handle(), nullptr, nullptr);
  a.m_objText.m_lstLinks.Clear();
  PixInfo& mine = a.m_objText.m_lstPictures.GetAt(0);
  mine.nPictureID = taken;
  mine.nOffset = 9;
  fmt->OnNodePixMoved(a, 0);
  EXPECT_EQ(One(*fmt, "SELECT note_offset FROM images WHERE note_id='B'"), "6");
  mine.strEncoded.clear();
  ASSERT_EQ(mine.pixbuf, nullptr);
  ASSERT_TRUE(fmt->OnNodeUpdate(a, NIF_PICTURES, false, nullptr));
  EXPECT_NE(One(*fmt, "SELECT hex(image_data) FROM images WHERE note_id='A'"),
            One(*fmt, "SELECT hex(image_data) FROM images WHERE note_id='B'"));
}

// A task is stored whenever the note has one; it must come back whenever a
// row was stored, also without a creation date.
TEST_F(SqliteSeam, ATaskWithoutCreationDateComesBack) {
  NoteDocument doc;
  NoteNode& n = AddNote(doc, "", "TASK", "Task", "do it");
  n.m_objTask.SetValid(true);
  n.m_objTask.dateDue = 1700003600;
  n.m_objTask.nPriority = 2;
  AddNote(doc, "", "PLAIN", "Plain", "no task");
  const std::string path = dir / "task.qydb";
  int r = -1;
  std::unique_ptr<FormatIO_Sqlite> fmt = SaveNew(doc, path, &r);
  ASSERT_EQ(r, 0);
  fmt.reset();

  NoteDocument back;
  FormatIO_Sqlite loader;
  ASSERT_EQ(loader.Load(path.c_str(), back, -1), 0);
  const Task& task = back.GetNodeByIdx(back.GetIdxFromID("TASK")).m_objTask;
  EXPECT_TRUE(task.IsValid());
  EXPECT_FALSE(task.dateCreated.IsSet());
  EXPECT_EQ(task.dateDue.GetValue(), 1700003600);
  EXPECT_EQ(task.nPriority, 2);
  EXPECT_FALSE(back.GetNodeByIdx(back.GetIdxFromID("PLAIN")).m_objTask.IsValid());
}

}  // namespace
