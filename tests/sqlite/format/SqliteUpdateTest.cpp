// Per-change writes of the SQLite format: every handler writes at once into
// the open transaction, another connection sees the change only after the
// commit of a save, and the edge cases of the individual handlers.

#include <gtest/gtest.h>

#include <functional>

#include "base/Log.h"
#include "sqlite/format/SqliteWriteTestUtil.h"

using namespace qysqlw;

namespace {

class SqliteUpdate : public ::testing::Test {
 protected:
  void SetUp() override {
    FormatIO_Base::SetEnableSharing(true);
    path = dir / "doc.qydb";
    AddNote(doc, "", "A", "Alpha", "alpha text");
    AddNote(doc, "", "B", "Beta", "beta text");
    AddNote(doc, "", "C", "Gamma", "gamma text");
    AddNote(doc, "A", "A1", "Alpha one", "0123456789");
    int r = -1;
    fmt = SaveNew(doc, path, &r);
    ASSERT_EQ(r, 0);
  }
  void TearDown() override { FormatIO_Base::SetEnableSharing(true); }

  int Commit() {
    RecursiveTreeWalker walker(doc);
    return fmt->Save(path.c_str(), walker);
  }
  NoteNode& Note(const char* id) { return doc.GetNodeByIdx(doc.GetIdxFromID(id)); }
  std::string Own(const std::string& sql) { return One(*fmt, sql.c_str()); }

  TempDir dir;
  std::string path;
  NoteDocument doc;
  std::unique_ptr<FormatIO_Sqlite> fmt;
};

// One change, and the query that shows it with the value expected after it.
struct Change {
  const char* name;
  std::function<void()> apply;
  const char* query;
  std::string expected;
};

TEST_F(SqliteUpdate, EveryChangeIsWrittenAtOnceAndSeenByOthersAfterTheCommit) {
  NoteNode fresh;
  fresh.m_strID = "NEW";
  fresh.m_strTitle = "Fresh";
  fresh.m_nSibling = 0;
  NoteNode& a1 = Note("A1");
  PixInfo pix;
  pix.strEncoded = qycont::TinyPng();
  pix.nOffset = 4;
  pix.strName = "p.png";
  AttInfo att;
  att.strName = "f.txt";
  att.strData = "data";
  att.strCode = "CODE1";

  std::vector<Change> changes = {
      {"insert", [&] { fmt->OnNodeInsert(fresh, true); },
       "SELECT note_pos FROM notes_tree WHERE note_id='A'", "1"},
      {"update", [&] {
         fresh.SetText("fresh text");
         fresh.m_nDateModified = 1234;
         ASSERT_TRUE(fmt->OnNodeUpdate(fresh, NIF_TEXT | NIF_PROPERTIES, false, nullptr));
       }, "SELECT note_text || '/' || date_modified FROM notes WHERE note_id='NEW'", "fresh text/1234"},
      {"read-only", [&] {
         a1.m_bReadOnly = true;
         fmt->OnNodeUpdate_ReadOnly(a1);
       }, "SELECT is_readonly FROM notes WHERE note_id='A1'", "1"},
      {"attachment added", [&] {
         a1.m_lstAttachments.push_back(att);
         fmt->OnNodeAttAdded(a1, -1);
       },
       "SELECT att_title || att_data || att_size || att_code FROM attachments WHERE note_id='A1'",
       "f.txtdata4CODE1"},
      {"attachment updated", [&] {
         a1.m_lstAttachments[0].strName = "g.txt";
         fmt->OnNodeAttUpdated(a1, 0);
       }, "SELECT att_title FROM attachments WHERE note_id='A1'", "g.txt"},
      {"picture added", [&] {
         a1.m_objText.m_lstPictures.Push(pix);
         fmt->OnNodePixAdded(a1, a1.m_objText.m_lstPictures.GetAt(0));
       }, "SELECT note_offset || image_title FROM images WHERE note_id='A1'", "4p.png"},
      {"text inserted", [&] { fmt->OnNodeTxtInsert(a1, 2, 3); },
       "SELECT note_offset FROM images WHERE note_id='A1'", "7"},
      {"text deleted", [&] { fmt->OnNodeTxtDelete(a1, 0, 2); },
       "SELECT note_offset FROM images WHERE note_id='A1'", "5"},
      {"picture moved", [&] {
         a1.m_objText.m_lstPictures.GetAt(0).nOffset = 9;
         fmt->OnNodePixMoved(a1, 0);
       }, "SELECT note_offset FROM images WHERE note_id='A1'", "9"},
      {"tag added", [&] { fmt->OnNodeTagAdded(a1, "work"); },
       "SELECT count(*) FROM tags_notes, tags WHERE note_id='A1' AND tags.tag_id=tags_notes.tag_id "
       "AND tag_name='work'", "1"},
      {"custom icon", [&] { fmt->OnNodeCustomIconSet(a1, pix); },
       "SELECT image_title FROM icons WHERE note_id='A1'", "p.png"},
      {"expand all", [&] { fmt->OnExpandAll(); }, "SELECT min(is_expanded) FROM notes_tree", "1"},
      {"tag removed", [&] { fmt->OnNodeTagRemoved(a1, "work"); },
       "SELECT count(*) FROM tags_notes WHERE note_id='A1'", "0"},
      {"tag dropped", [&] { fmt->OnRemoveTag("work"); }, "SELECT count(*) FROM tags", "0"},
      {"picture removed", [&] { fmt->OnNodePixRemoved(a1, 0); },
       "SELECT count(*) FROM images WHERE note_id='A1'", "0"},
      {"attachment removed", [&] { fmt->OnNodeAttRemoved(a1, 0); },
       "SELECT att_code FROM deletions_attachments", "CODE1"},
      {"icon removed", [&] { fmt->OnNodeCustomIconRemoved(a1); }, "SELECT count(*) FROM icons", "0"},
      {"collapse all", [&] { fmt->OnCollapseAll(); }, "SELECT max(is_expanded) FROM notes_tree", "0"},
      {"ID changed", [&] { ASSERT_TRUE(fmt->ModifyNoteID("A", "AA")); },
       "SELECT count(*) FROM notes_tree WHERE note_pid='AA'", "1"},
      {"deleted", [&] {
         NoteNode& b = Note("B");
         fmt->OnNodeDeleted(b, true);
       }, "SELECT note_id FROM deletions", "B"},
  };

  for (const Change& c : changes) {
    SCOPED_TRACE(c.name);
    const std::string before = Cell(QueryFile(path, c.query));
    c.apply();
    // Written at once, inside the transaction...
    EXPECT_EQ(Own(c.query), c.expected);
    // ...and not yet in the file for another connection.
    EXPECT_EQ(Cell(QueryFile(path, c.query)), before);
  }

  // After the save's commit another connection sees the file as the
  // format's own connection saw it.
  std::vector<std::string> final;
  for (const Change& c : changes) final.push_back(Own(c.query));
  ASSERT_EQ(Commit(), 0);
  for (size_t i = 0; i < changes.size(); ++i) {
    SCOPED_TRACE(changes[i].name);
    EXPECT_EQ(Cell(QueryFile(path, changes[i].query)), final[i]);
  }
  EXPECT_EQ(final[0], "");  // A was renamed
}

TEST_F(SqliteUpdate, SaveCommitsAndBeginsAgainExclusiveWithoutSharing) {
  FormatIO_Base::SetEnableSharing(false);
  NoteNode& a = Note("A");
  a.m_strTitle = "Renamed";
  ASSERT_TRUE(fmt->OnNodeUpdate(a, NIF_TITLE, false, nullptr));
  ASSERT_EQ(Commit(), 0);
  EXPECT_TRUE(fmt->InTransaction());
  // The restarted transaction holds the file: another connection waits.
  EXPECT_EQ(QueryFile(path, "SELECT note_title FROM notes WHERE note_id='A'")[0][0], "BUSY");
  fmt.reset();  // close: nothing uncommitted
  EXPECT_EQ(QueryFile(path, "SELECT note_title FROM notes WHERE note_id='A'")[0][0], "Renamed");
}

TEST_F(SqliteUpdate, ClosingWithoutSavingRollsBack) {
  NoteNode& a = Note("A");
  a.m_strTitle = "Lost";
  ASSERT_TRUE(fmt->OnNodeUpdate(a, NIF_TITLE, false, nullptr));
  fmt->OnNodeDeleted(Note("B"), true);
  fmt.reset();
  EXPECT_EQ(QueryFile(path, "SELECT note_title FROM notes WHERE note_id='A'")[0][0], "Alpha");
  EXPECT_EQ(QueryFile(path, "SELECT count(*) FROM notes")[0][0], "4");
  EXPECT_EQ(QueryFile(path, "SELECT count(*) FROM deletions")[0][0], "0");
}

TEST_F(SqliteUpdate, UpdateMasksAndMissingNotes) {
  quillery::LogCapture log;
  NoteNode ghost;
  ghost.m_strID = "GHOST";
  EXPECT_TRUE(fmt->OnNodeUpdate(ghost, 0, false, nullptr));
  std::string error = "untouched";
  EXPECT_FALSE(fmt->OnNodeUpdate(ghost, NIF_TITLE, false, &error));
  EXPECT_TRUE(log.Has("Sqlite format error: node to be updated ('GHOST') does not exist!\n"));
  EXPECT_EQ(error, "untouched");
  ghost.m_objText.m_lstFmt.Append(FmtInfo(FMT_BOLD_BEGIN, 0));
  EXPECT_TRUE(fmt->OnNodeUpdate(ghost, NIF_FORMATTING, false, nullptr));
  EXPECT_EQ(Own("SELECT count(*) FROM formatting WHERE note_id='GHOST'"), "1");

  // Tasks: a new note without a task runs nothing; an existing one loses
  // its row; a task written twice keeps one row and its task_id.
  NoteNode& a = Note("A");
  a.m_objTask.SetValid(true);
  a.m_objTask.dateDue = 1700000000;
  ASSERT_TRUE(fmt->OnNodeUpdate(a, NIF_TASK, false, nullptr));
  const std::string taskID = Own("SELECT task_id FROM tasks WHERE note_id='A'");
  a.m_objTask.nPriority = 3;
  ASSERT_TRUE(fmt->OnNodeUpdate(a, NIF_TASK, false, nullptr));
  EXPECT_EQ(Own("SELECT count(*) || '/' || task_id || '/' || task_priority || '/' || date_due || '/' || "
                "ifnull(date_completed, 'null') FROM tasks WHERE note_id='A'"),
            "1/" + taskID + "/3/1700000000/null");
  a.m_objTask.SetValid(false);
  log.Clear();
  ASSERT_TRUE(fmt->OnNodeUpdate(a, NIF_TASK, true, nullptr));
  EXPECT_EQ(Own("SELECT count(*) FROM tasks"), "1");
  ASSERT_TRUE(fmt->OnNodeUpdate(a, NIF_TASK, false, nullptr));
  EXPECT_EQ(Own("SELECT count(*) FROM tasks"), "0");
}

TEST_F(SqliteUpdate, FormattingColoursTagsAndQuotes) {
  NoteNode& a = Note("A");
  FmtInfo red(FMT_COLOR_BEGIN, 0);
  red.color = Rgb(0xFFFF, 0x8000, 0);
  FmtInfo bold(FMT_BOLD_BEGIN, 0);
  bold.color = red.color;
  FmtInfo font(FMT_FONT_BEGIN, 1);
  font.strFont = "O'Neil 12";
  a.m_objText.m_lstFmt.Append(red);
  a.m_objText.m_lstFmt.Append(bold);
  a.m_objText.m_lstFmt.Append(font);
  a.m_objText.m_lstAnchors.Append(AnchorInfo("don't", 2));
  ASSERT_TRUE(fmt->OnNodeUpdate(a, NIF_FORMATTING | NIF_ANCHORS, false, nullptr));
  Rows rows = QueryOwn(*fmt, "SELECT fmt_tag, fmt_color, fmt_font, fmt_value FROM formatting WHERE note_id='A'");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"7", "#ff8000", "", "100"}));
  EXPECT_EQ(rows[1], (std::vector<std::string>{"1", "", "", "100"}));
  EXPECT_EQ(rows[2], (std::vector<std::string>{"17", "", "O'Neil 12", "100"}));
  EXPECT_EQ(Own("SELECT anc_name FROM anchors WHERE note_id='A'"), "don't");

  // A note ID with a quote goes into statement texts safely.
  NoteNode odd;
  odd.m_strID = "it's";
  odd.m_strTitle = "odd";
  fmt->OnNodeInsert(odd, false);
  odd.m_objText.m_lstFmt.Append(FmtInfo(FMT_BOLD_BEGIN, 0));
  odd.SetKeywords(";x;");
  ASSERT_TRUE(fmt->OnNodeUpdate(odd, NIF_FORMATTING | NIF_TAGS | NIF_TREE_POSITION | NIF_TITLE, false, nullptr));
  EXPECT_EQ(Own("SELECT count(*) FROM formatting WHERE note_id='it''s'"), "1");
  EXPECT_EQ(Own("SELECT count(*) FROM notes WHERE note_id='A'"), "1");

  struct { const char* keywords; const char* tags; } cases[] = {
      {";a;b;", "a,b"}, {"a;b", "a,b"}, {"", ""}, {";;a;;b;;", "a,b"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keywords);
    a.SetKeywords(c.keywords);
    ASSERT_TRUE(fmt->OnNodeUpdate(a, NIF_TAGS, false, nullptr));
    EXPECT_EQ(Own("SELECT ifnull(group_concat(tag_name), '') FROM (SELECT tag_name FROM tags, tags_notes WHERE "
                  "tags.tag_id=tags_notes.tag_id AND note_id='A' ORDER BY tags_notes.id)"),
              c.tags);
  }
  // The same tag twice: two links; removing it once leaves one.
  fmt->OnNodeTagAdded(a, "t");
  fmt->OnNodeTagAdded(a, "t");
  fmt->OnNodeTagRemoved(a, "t");
  EXPECT_EQ(Own("SELECT count(*) FROM tags_notes, tags WHERE tags.tag_id=tags_notes.tag_id AND tag_name='t'"), "1");
}

TEST_F(SqliteUpdate, SiblingShiftsAndTombstones) {
  NoteNode first;
  first.m_strID = "FIRST";
  first.m_nSibling = 0;
  fmt->OnNodeInsert(first, true);
  EXPECT_EQ(Own("SELECT group_concat(note_id) FROM (SELECT note_id FROM notes_tree WHERE note_pid='' "
                "ORDER BY note_pos)"),
            "FIRST,A,B,C");
  NoteNode& b = Note("B");  // at position 1 in the document, 2 in the file now
  b.m_nSibling = 2;
  b.m_objText.m_lstAnchors.Append(AnchorInfo("keep", 0));
  ASSERT_TRUE(fmt->OnNodeUpdate(b, NIF_ANCHORS, false, nullptr));
  PixInfo icon;
  icon.strEncoded = qycont::TinyPng();
  fmt->OnNodeCustomIconSet(b, icon);
  fmt->OnNodeDeleted(b, true);
  EXPECT_EQ(Own("SELECT group_concat(note_id || note_pos) FROM (SELECT note_id, note_pos FROM notes_tree "
                "WHERE note_pid='' ORDER BY note_pos)"),
            "FIRST0,A1,C2");
  // No table keeps a row of the deleted note but its tombstone.
  const Rows tables = QueryOwn(*fmt, "SELECT m.name FROM sqlite_master m, pragma_table_info(m.name) c "
                                     "WHERE m.type='table' AND c.name='note_id' AND m.name<>'deletions'");
  ASSERT_EQ(tables.size(), 11u);
  for (const auto& table : tables)
    EXPECT_EQ(Own("SELECT count(*) FROM " + table[0] + " WHERE note_id='B'"), "0") << table[0];
  quillery::LogCapture log;
  fmt->OnNodeDeleted(b, false);
  EXPECT_EQ(Own("SELECT count(*) FROM deletions WHERE note_id='B'"), "1");
  EXPECT_TRUE(log.Contains("UNIQUE"));
  EXPECT_EQ(Commit(), 0);  // the deletion is recorded: the clash costs no save
}

TEST_F(SqliteUpdate, PictureOffsetsAndAttachmentPositions) {
  NoteNode& a1 = Note("A1");
  for (int off : {4, 8}) {
    PixInfo p;
    p.strEncoded = qycont::TinyPng();
    p.nOffset = off;
    a1.m_objText.m_lstPictures.Push(p);
  }
  ASSERT_TRUE(fmt->OnNodeUpdate(a1, NIF_PICTURES, false, nullptr));
  fmt->OnNodeTxtDelete(a1, 5, 3);
  EXPECT_EQ(Own("SELECT group_concat(note_offset) FROM (SELECT note_offset FROM images ORDER BY image_id)"), "4,5");
  fmt->OnNodeTxtInsert(a1, 5, 2);
  EXPECT_EQ(Own("SELECT group_concat(note_offset) FROM (SELECT note_offset FROM images ORDER BY image_id)"), "4,7");

  // Picture ID 0: moving it runs nothing.
  PixInfo none;
  none.nOffset = 1;
  a1.m_objText.m_lstPictures.Push(none);
  fmt->OnNodePixMoved(a1, 2);
  EXPECT_EQ(Own("SELECT count(*) FROM images WHERE note_offset=1"), "0");

  for (const char* code : {"C0", "C1", "C2"}) {
    AttInfo att;
    att.strName = code;
    att.strCode = code;
    att.strData = code;
    a1.m_lstAttachments.push_back(att);
    fmt->OnNodeAttAdded(a1, -1);
  }
  fmt->OnNodeAttRemoved(a1, 0);
  EXPECT_EQ(Own("SELECT group_concat(att_code || note_pos) FROM (SELECT att_code, note_pos FROM attachments "
                "ORDER BY note_pos)"),
            "C10,C21");
  EXPECT_EQ(Own("SELECT group_concat(att_code) FROM deletions_attachments"), "C0");

  // Out-of-range indexes are refused, not read past the list.
  quillery::LogCapture log;
  fmt->OnNodeAttRemoved(a1, 7);
  fmt->OnNodePixRemoved(a1, -1);
  fmt->OnNodeAttUpdated(a1, 3);
  EXPECT_EQ(Own("SELECT count(*) FROM attachments"), "2");
}

TEST_F(SqliteUpdate, WithoutTransactionEachUpdateIsCommittedOrReportedAsFailed) {
  // As for a file that another process holds: no long-running transaction.
  fmt->CommitTransaction();
  fmt->_bInTransaction = false;
  fmt->_bLoadedByAnotherProcess = true;
  fmt->_db.setBusyTimeout(0);
  NoteNode& a = Note("A");
  a.m_strTitle = "First";
  ASSERT_TRUE(fmt->OnNodeUpdate(a, NIF_TITLE, false, nullptr));
  EXPECT_EQ(Cell(QueryFile(path, "SELECT note_title FROM notes WHERE note_id='A'")), "First");

  // A reader in the middle of a transaction keeps the change from being
  // committed: reported, and nothing of it stays behind.
  CppSQLite3DB reader;
  reader.open(path.c_str());
  reader.execDML("BEGIN");
  reader.execScalar("SELECT count(*) FROM notes");
  a.m_strTitle = "Blocked";
  a.SetKeywords(";k;");
  std::string error;
  quillery::LogCapture log;
  EXPECT_FALSE(fmt->OnNodeUpdate(a, NIF_TITLE | NIF_TAGS, false, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_NE(sqlite3_get_autocommit(fmt->_db.handle()), 0);
  reader.execDML("COMMIT");
  EXPECT_EQ(Cell(QueryFile(path, "SELECT note_title FROM notes WHERE note_id='A'")), "First");
  EXPECT_EQ(Cell(QueryFile(path, "SELECT count(*) FROM tags_notes")), "0");
}

TEST_F(SqliteUpdate, FailedPictureInsertLeavesNoID) {
  ASSERT_GE(fmt->_db.execDML("DROP TABLE images"), 0);
  NoteNode& a1 = Note("A1");
  PixInfo p;
  p.strEncoded = qycont::TinyPng();
  p.nOffset = 1;
  p.nPictureID = 99;
  a1.m_objText.m_lstPictures.Push(p);
  quillery::LogCapture log;
  fmt->OnNodePixAdded(a1, a1.m_objText.m_lstPictures.GetAt(0));
  EXPECT_EQ(a1.m_objText.m_lstPictures.GetAt(0).nPictureID, 0);
  EXPECT_TRUE(log.Contains("Sqlite format [pix add]: Sql [INSERT INTO images"));
}

TEST_F(SqliteUpdate, AFailingUpdateKeepsTheNotesRowsAsTheyWere) {
  NoteNode& a = Note("A");
  a.m_objText.m_lstFmt.Append(FmtInfo(FMT_BOLD_BEGIN, 0));
  a.m_objText.m_lstFmt.Append(FmtInfo(FMT_BOLD_END, 3));
  ASSERT_TRUE(fmt->OnNodeUpdate(a, NIF_FORMATTING, false, nullptr));
  ASSERT_GE(fmt->_db.execDML("DROP TABLE links"), 0);
  a.m_objText.m_lstFmt.Clear();
  std::string error;
  quillery::LogCapture log;
  EXPECT_FALSE(fmt->OnNodeUpdate(a, NIF_FORMATTING | NIF_LINKS | NIF_TITLE, false, &error));
  EXPECT_NE(error.find("no such table"), std::string::npos);
  EXPECT_EQ(Own("SELECT count(*) FROM formatting WHERE note_id='A'"), "2");
}

TEST_F(SqliteUpdate, RewritingAttachmentsFetchedWithoutBytesKeepsTheBytes) {
  NoteNode& a = Note("A");
  AttInfo att;
  att.strName = "big.bin";
  att.strData = std::string(5000, 'x');
  att.strCode = "BIG";
  a.m_lstAttachments.push_back(att);
  PixInfo p;
  p.strEncoded = qycont::TinyPng();
  p.nOffset = 2;
  a.m_objText.m_lstPictures.Push(p);
  ASSERT_TRUE(fmt->OnNodeUpdate(a, NIF_ATTACHMENTS | NIF_PICTURES, false, nullptr));
  // As a fetch without bytes leaves them: sizes and IDs only.
  a.m_lstAttachments[0].strData.clear();
  a.m_lstAttachments[0].nDataSize = 5000;
  a.m_lstAttachments[0].strName = "renamed.bin";
  a.m_objText.m_lstPictures.GetAt(0).strEncoded.clear();
  ASSERT_TRUE(fmt->OnNodeUpdate(a, NIF_ALL, false, nullptr));
  EXPECT_EQ(Own("SELECT att_title || length(att_data) || '/' || att_size FROM attachments WHERE note_id='A'"),
            "renamed.bin5000/5000");
  EXPECT_EQ(Own("SELECT length(image_data) > 0 FROM images WHERE note_id='A'"), "1");
}

TEST_F(SqliteUpdate, NoteIDChangeIsAllOrNothing) {
  NoteNode& a1 = Note("A1");
  a1.m_objText.m_lstFmt.Append(FmtInfo(FMT_BOLD_BEGIN, 0));
  a1.SetKeywords(";k;");
  a1.m_objText.m_lstAnchors.Append(AnchorInfo("mark", 1));
  ASSERT_TRUE(fmt->OnNodeUpdate(a1, NIF_FORMATTING | NIF_TAGS | NIF_ANCHORS, false, nullptr));
  ASSERT_TRUE(fmt->ModifyNoteID("A1", "Z+/9"));
  EXPECT_EQ(Own("SELECT count(*) FROM anchors WHERE note_id='Z+/9'"), "1");
  EXPECT_EQ(Own("SELECT count(*) FROM notes WHERE note_id='Z+/9'"), "1");
  EXPECT_EQ(Own("SELECT note_pid FROM notes_tree WHERE note_id='Z+/9'"), "A");
  EXPECT_EQ(Own("SELECT count(*) FROM formatting WHERE note_id='Z+/9'"), "1");
  EXPECT_EQ(Own("SELECT count(*) FROM tags_notes WHERE note_id='Z+/9'"), "1");

  // A tree row that already uses the new ID makes the second rename fail:
  // the first one is undone with it.
  ASSERT_EQ(fmt->_db.execDML("INSERT INTO notes_tree (note_id, note_pid, note_pos) VALUES ('TAKEN', 'x', 9)"), 1);
  quillery::LogCapture log;
  EXPECT_FALSE(fmt->ModifyNoteID("B", "TAKEN"));
  EXPECT_EQ(Own("SELECT count(*) FROM notes WHERE note_id='B'"), "1");
  EXPECT_EQ(Own("SELECT count(*) FROM notes WHERE note_id='TAKEN'"), "0");
}

}  // namespace
