// Loading SQLite documents: the tree and its columns, the document-wide
// data, damaged trees, files that cannot be read, and cancelling.

#include <fcntl.h>
#include <unistd.h>

#include <fstream>

#include "base/File64.h"
#include "base/Log.h"
#include "model/InternalIcons.h"
#include "model/RecursiveTreeWalker.h"
#include "save/SafeSave.h"
#include "sqlite/format/SqliteContentCount.h"
#include "sqlite/format/SqliteLoadFixture.h"

using namespace quillery_test;

namespace {

TEST_F(SqliteLoadTest, EmptyFileLoadsAsEmptyCurrentDatabase) {
  const std::string path = m_dir / "empty.qydb";
  { std::ofstream(path.c_str()); }
  NoteDocument doc;
  ASSERT_EQ(doc.Load(path.c_str(), nullptr, FORMAT_QYDB, false), DOC_LOAD_OK);
  EXPECT_EQ(doc.GetNodeCount(), 0);
  FormatIO_Sqlite* fmt = Loader(doc);
  ASSERT_NE(fmt, nullptr);
  EXPECT_EQ(fmt->_nFormatVersion, -1);
  EXPECT_TRUE(fmt->InTransaction());
  EXPECT_FALSE(fmt->IsLoadedByAnotherProcess());
  EXPECT_TRUE(fmt->_db.tableExists("notes"));
}

TEST_F(SqliteLoadTest, TreeRowFillsEveryHeaderField) {
  const std::string path = NewDb();
  {
    RawDb db(path);
    AddNote(db, "P", "", 0, "Parent");
    AddNote(db, "C", "P", 0, "Child", "body",
            ", icon_type, icon_info, is_readonly, is_template, note_clone_id, syntax_highlight, "
            "use_custom_txt_color, use_custom_bkg_color, use_custom_font, custom_txt_color, custom_bkg_color, "
            "custom_font, use_custom_note_bkg_color, custom_note_bkg_color, date_created, date_modified, hash, "
            "hash_html",
            ", -1, 'icon.png', 1, 1, 'P', 'cpp', 1, 1, 1, '#ff8000', '#000080', 'Sans 10', 1, '#102030', 1000, "
            "2000, 'h1', 'h2'");
    db.Exec("UPDATE notes SET is_finished=1 WHERE note_id='C'");
    db.Exec("UPDATE notes_tree SET is_expanded=1 WHERE note_id='P'");
    db.Exec("INSERT INTO tasks (note_id, date_created, date_due, date_completed, date_expire, task_priority, "
            "task_status, task_repeating, script_path, date_last_acknowledged, alarm_sound, alarm_mode) VALUES "
            "('C', 10, 20, NULL, 40, 3, 2, 4, 'run.sh', 50, 'bell.wav', 1)");
    db.Exec("INSERT INTO attachments (note_id, note_pos, att_title, att_data, att_size) VALUES ('C', 0, 'a', "
            "X'0102', 2)");
  }
  NoteDocument doc;
  ASSERT_EQ(doc.Load(path.c_str(), nullptr, FORMAT_QYDB, false), DOC_LOAD_OK);
  ASSERT_EQ(doc.GetNodeCount(), 2);
  NoteNode* p = Note(doc, "P");
  NoteNode* c = Note(doc, "C");
  ASSERT_TRUE(p && c);
  EXPECT_TRUE(p->m_bExpanded);
  EXPECT_FALSE(p->m_objTask.IsValid());
  EXPECT_FALSE(p->HasAttachments());
  EXPECT_EQ(c->GetTitle(), "Child");
  EXPECT_EQ(c->m_strParentID, "P");
  EXPECT_EQ(c->m_nIconType, -1);
  EXPECT_EQ(c->m_strIconPath, "icon.png");
  EXPECT_TRUE(c->m_bReadOnly && c->m_bTemplate && c->m_bFinished);
  EXPECT_EQ(c->m_strCloneOf, "P");
  EXPECT_EQ(c->GetSourceLanguage(), "cpp");
  EXPECT_TRUE(c->m_bUseTxtColor && c->m_bUseBkgColor && c->m_bUseFont && c->m_bUseNoteBkgColor);
  EXPECT_EQ(c->m_clrTxt.red >> 8, 0xff);
  EXPECT_EQ(c->m_clrTxt.green >> 8, 0x80);
  EXPECT_EQ(c->m_clrBkg.blue >> 8, 0x80);
  EXPECT_EQ(c->m_clrNoteBkg.green >> 8, 0x20);
  EXPECT_EQ(c->m_strCustomFont, "Sans 10");
  EXPECT_EQ(c->m_nDateCreated, 1000);
  EXPECT_EQ(c->m_nDateModified, 2000);
  EXPECT_EQ(c->m_strHash, "h1");
  EXPECT_EQ(c->m_strHashHtml, "h2");
  EXPECT_TRUE(c->m_bHasAttachments);
  EXPECT_TRUE(c->m_lstAttachments.empty());  // contents stay in the file
  EXPECT_TRUE(c->GetText().empty());
  const Task& t = c->m_objTask;
  EXPECT_TRUE(t.IsValid());
  EXPECT_EQ(t.dateCreated.GetValue(), 10);
  EXPECT_EQ(t.dateDue.GetValue(), 20);
  EXPECT_FALSE(t.dateCompleted.IsSet());
  EXPECT_EQ(t.dateExpire.GetValue(), 40);
  EXPECT_EQ(t.dateLastAck.GetValue(), 50);
  EXPECT_EQ(t.nPriority, 3);
  EXPECT_EQ(t.nStatus, 2);
  EXPECT_EQ(t.nRepeat, 4);
  EXPECT_EQ(t.strScriptPath, "run.sh");
  EXPECT_EQ(t.strSoundPath, "bell.wav");
  EXPECT_EQ(t.nAlarmMode, 1);
  // The clone registry is built at the end of the load.
  EXPECT_EQ(doc.GetClones("P").count("C"), 1u);
}

TEST_F(SqliteLoadTest, CustomIconsAreDecodedAndKeyed) {
  const std::string path = NewDb();
  {
    RawDb db(path);
    AddNote(db, "A", "", 0, "A", "", ", icon_type", ", -3");
    AddNote(db, "B", "", 1, "B", "", ", icon_type", ", -3");
    db.ExecBlob("INSERT INTO icons (note_id, image_title, image_data, is_png) VALUES ('A', 'i', ?, 1)",
                TinyPicture(true));
    db.ExecBlob("INSERT INTO icons (note_id, image_title, image_data, is_png) VALUES ('B', 'i', ?, 1)",
                "not a picture");
  }
  NoteDocument doc;
  ASSERT_EQ(doc.Load(path.c_str(), nullptr, FORMAT_QYDB, false), DOC_LOAD_OK);
  ASSERT_EQ(doc.m_lstCustomIcons.GetSize(), 1);
  EXPECT_EQ(doc.m_mapNoteIcon.count("A"), 1u);
  EXPECT_EQ(doc.m_mapNoteIcon.count("B"), 0u);
  EXPECT_EQ(doc.m_nCustomIconCounter, 1);
  EXPECT_TRUE(doc.m_lstCustomIcons.GetAt(0).bPNG);
}

TEST_F(SqliteLoadTest, DocumentWideData) {
  const std::string path = NewDb();
  {
    RawDb db(path);
    AddNote(db, "A", "", 0, "A");
    AddNote(db, "B", "", 1, "B");
    db.Exec("INSERT INTO tags (tag_name) VALUES ('work'), ('home')");
    db.Exec("INSERT INTO tags_notes (note_id, tag_id) VALUES ('A', 1), ('A', 2), ('B', 1), ('gone', 2)");
    db.Exec("INSERT INTO custom_properties (note_id, prop_name, prop_value) VALUES ('A', 'k', 'v'), "
            "(NULL, 'doc', 'd'), ('', 'doc2', 'e'), ('gone', 'k', 'x')");
    db.Exec("INSERT INTO options (opt_name, opt_value) VALUES ('is_readonly', '1'), ('prop_modified', "
            "'4000000000'), ('start_node', 'B'), ('doc_title', 'T'), ('doc_author', 'W'), ('doc_UID', 'U')");
    db.Exec("INSERT INTO bookmarks (node_id, book_title, book_pos) VALUES ('B', 'second', 1), ('A', 'first', 0)");
    db.Exec("INSERT INTO anchors (note_id, anc_name, anc_offset) VALUES ('B', 'here', 3)");
    db.Exec("INSERT INTO deletions (note_id) VALUES ('old')");
    db.Exec("INSERT INTO deletions_attachments (att_code) VALUES ('code')");
  }
  NoteDocument doc;
  ASSERT_EQ(doc.Load(path.c_str(), nullptr, FORMAT_QYDB, false), DOC_LOAD_OK);
  EXPECT_EQ(Note(doc, "A")->GetKeywords(), ";work;home;");
  EXPECT_EQ(Note(doc, "B")->GetKeywords(), ";work;");
  EXPECT_EQ(doc.m_mapTagUseCount["work"], 2);
  EXPECT_EQ(doc.m_mapTagUseCount["home"], 1);  // the row of a missing note is not counted
  ASSERT_EQ(Note(doc, "A")->m_lstCustomProperties.size(), 1u);
  EXPECT_EQ(Note(doc, "A")->m_lstCustomProperties[0], CustomProperty("k", "v"));
  ASSERT_EQ(doc.m_lstCustomProperties.size(), 2u);
  EXPECT_EQ(doc.m_lstCustomProperties[0].strName, "doc");
  EXPECT_EQ(doc.m_mapCustomPropNameCount["k"], 2);  // the dropped row still counts
  EXPECT_TRUE(doc.IsReadOnly());
  EXPECT_EQ(doc.m_nPropModifiedTime, 4000000000LL);
  EXPECT_EQ(doc.m_nStartNoteIdx, doc.GetIdxFromID("B"));
  EXPECT_EQ(doc.GetTitle(), "T");
  EXPECT_EQ(doc.GetAuthor(), "W");
  EXPECT_EQ(doc.GetUID(), "U");
  EXPECT_EQ(Loader(doc)->_nFormatVersion, 21);
  ASSERT_EQ(doc.GetBookmarkList().GetCount(), 2);
  EXPECT_EQ(doc.GetBookmarkList().GetBookTitle(0), "first");
  EXPECT_EQ(doc.GetBookmarkList().GetBookPath(1), "B");
  EXPECT_EQ(doc.m_mapAnchors["here"], "B");
  EXPECT_EQ(doc.m_mapDeletedNotes.count("old"), 1u);
  EXPECT_EQ(doc.m_mapDeletedAttachments.count("code"), 1u);
}

TEST_F(SqliteLoadTest, EmptyIdRowIsSkipped) {
  const std::string path = NewDb();
  {
    RawDb db(path);
    AddNote(db, "", "", 0, "Nameless");
    AddNote(db, "A", "", 0, "A");
  }
  quillery::LogCapture cap;
  NoteDocument doc;
  ASSERT_EQ(doc.Load(path.c_str(), nullptr, FORMAT_QYDB, false), DOC_LOAD_OK);
  EXPECT_EQ(doc.GetNodeCount(), 1);
  EXPECT_TRUE(cap.Has("Note with empty ID detected [title: Nameless]!\n"));
}

// A second note row with an ID read before (its table lost its uniqueness)
// comes folded into the first by the tree query's grouping: the load keeps
// one note of that ID and counts the other as a part that did not read.
TEST_F(SqliteLoadTest, NoteRowsSharingAnIdCountAsAFailedRead) {
  const std::string path = NewDb();
  {
    RawDb db(path);
    AddNote(db, "A", "", 0, "A");
    AddNote(db, "B", "", 1, "B");
    db.Exec("CREATE TABLE n2 AS SELECT * FROM notes; INSERT INTO n2 SELECT * FROM notes WHERE note_id='B'; "
            "DROP TABLE notes; ALTER TABLE n2 RENAME TO notes; "
            "CREATE INDEX IDX_NOTE_HASH ON notes(hash DESC); CREATE INDEX IDX_NOTE_HASH_HTML ON notes(hash_html DESC)");
  }
  for (bool readOnly : {true, false}) {
    const unsigned long failures = quillery::ReadFailures();
    quillery::LogCapture cap;
    NoteDocument doc;
    doc.SetReadOnlyLoad(readOnly);
    ASSERT_EQ(doc.Load(path.c_str(), nullptr, FORMAT_QYDB, false), DOC_LOAD_OK);
    EXPECT_EQ(doc.GetNodeCount(), 2);
    EXPECT_EQ(quillery::ReadFailures(), failures + 1);
    EXPECT_TRUE(cap.Has("Notes with duplicate IDs detected: 3 note rows read as 2 notes!\n"));
  }
}

// A note whose tree row is lost (its note_id emptied, or the row gone) is
// kept at the top level, after the others, and gets its row back with the
// next save; the outline `info` reads declines such a tree.
TEST_F(SqliteLoadTest, NoteWithoutItsTreeRowIsKept) {
  const std::string path = NewDb();
  {
    RawDb db(path);
    AddNote(db, "A", "", 0, "A");
    AddNote(db, "B", "A", 0, "B");
    AddNote(db, "C", "", 1, "C");
    AddNote(db, "D", "B", 0, "under B");
    db.Exec("UPDATE notes_tree SET note_id='' WHERE note_id='B'");
  }
  for (bool readOnly : {true, false}) {
    quillery::LogCapture cap;
    NoteDocument doc;
    doc.SetReadOnlyLoad(readOnly);
    ASSERT_EQ(doc.Load(path.c_str(), nullptr, FORMAT_QYDB, false), DOC_LOAD_OK);
    ASSERT_EQ(doc.GetNodeCount(), 4);
    EXPECT_TRUE(cap.Has("Note without a tree position detected [B]: it becomes a top-level note\n"));
    EXPECT_EQ(Note(doc, "B")->m_strParentID, "");
    EXPECT_EQ(Note(doc, "B")->m_nSibling, 2);
    EXPECT_EQ(Note(doc, "D")->m_strParentID, "B");
    EXPECT_EQ(RecursiveTreeWalker(doc).GetTotalNoteCount(), 4);
    if (readOnly) {
      NoteDocument none;
      FormatIO_Sqlite outliner;
      quillery::TreeOutline outline;
      EXPECT_EQ(outliner.LoadOutline(path.c_str(), none, outline), FormatIO_Sqlite::OUTLINE_NEEDS_LOAD);
      continue;
    }
    RecursiveTreeWalker walker(doc);
    ASSERT_EQ(doc.Save(path.c_str(), walker, false), DOC_SAVE_OK);
  }
  RawDb db(path);
  EXPECT_EQ(db.Scalar("SELECT note_pid || '/' || note_pos FROM notes_tree WHERE note_id='B'"), "/2");
}

TEST_F(SqliteLoadTest, MissingParentBecomesTopLevelInItsPlace) {
  const std::string path = NewDb();
  {
    RawDb db(path);
    AddNote(db, "A", "", 0, "A");
    AddNote(db, "O", "nowhere", 5, "Orphan");
  }
  quillery::LogCapture cap;
  NoteDocument doc;
  ASSERT_EQ(doc.Load(path.c_str(), nullptr, FORMAT_QYDB, false), DOC_LOAD_OK);
  NoteNode* o = Note(doc, "O");
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->m_strParentID, "");
  EXPECT_EQ(o->m_nSibling, 1);  // after the top level's own note
  EXPECT_TRUE(cap.Has("Invalid parent ID detected in the note: nowhere\n"));
  EXPECT_EQ(doc.GetChildCountOf(""), 2);
}

TEST_F(SqliteLoadTest, BrokenSiblingLevelsAreRenumbered) {
  const std::string path = NewDb();
  {
    RawDb db(path);
    // Top level 0, 0, 2: sorted by index, ties by descending ID (case ignored).
    AddNote(db, "a", "", 0, "a");
    AddNote(db, "B", "", 0, "B");
    AddNote(db, "c", "", 2, "c");
    // A deeper level with a gap (1, 3) under "a".
    AddNote(db, "x", "a", 1, "x");
    AddNote(db, "y", "a", 3, "y");
  }
  quillery::LogCapture cap;
  NoteDocument doc;
  ASSERT_EQ(doc.Load(path.c_str(), nullptr, FORMAT_QYDB, false), DOC_LOAD_OK);
  EXPECT_EQ(Note(doc, "B")->m_nSibling, 0);
  EXPECT_EQ(Note(doc, "a")->m_nSibling, 1);
  EXPECT_EQ(Note(doc, "c")->m_nSibling, 2);
  EXPECT_EQ(Note(doc, "x")->m_nSibling, 0);
  EXPECT_EQ(Note(doc, "y")->m_nSibling, 1);
  EXPECT_TRUE(cap.Has("Invalid sibling index 0 detected in the note: a\n"));
  EXPECT_EQ(doc.GetIdxFromPidSib("", 1), doc.GetIdxFromID("a"));
}

TEST_F(SqliteLoadTest, OneLoadRepairsEveryBrokenLevel) {
  const std::string path = NewDb();
  {
    RawDb db(path);
    // Broken levels below a broken level and below a note without parent.
    struct Row { const char *id, *pid; int pos; };
    for (const Row& r : {Row{"A", "", 0}, Row{"B", "", 0}, Row{"a1", "A", 1}, Row{"b1", "B", 1}, Row{"O", "x", 7},
                         Row{"o1", "O", 3}})
      AddNote(db, r.id, r.pid, r.pos, "t");
  }
  for (int load = 0; load < 2; ++load) {
    quillery::LogCapture cap;
    NoteDocument doc;
    ASSERT_EQ(doc.Load(path.c_str(), nullptr, FORMAT_QYDB, false), DOC_LOAD_OK);
    EXPECT_EQ(cap.Contains("Invalid sibling index"), load == 0);  // after a save, nothing is left to mend
    RecursiveTreeWalker walker(doc);
    EXPECT_EQ(doc.Save(path.c_str(), walker, false), DOC_SAVE_OK);
  }
}
TEST_F(SqliteLoadTest, DeepTreeLoadsWithoutRecursion) {
  const std::string path = NewDb();
  {
    RawDb db(path);
    db.Exec("BEGIN");
    // A chain 20000 deep; every level also has a second child at position
    // 2, so every level is visited and repaired.
    for (int i = 0; i < 20000; ++i) {
      const std::string parent = i ? "n" + std::to_string(i - 1) : "";
      AddNote(db, "n" + std::to_string(i), parent, 0, "t");
      if (i) AddNote(db, "m" + std::to_string(i), parent, 2, "t");
    }
    db.Exec("COMMIT");
  }
  NoteDocument doc;
  ASSERT_EQ(doc.Load(path.c_str(), nullptr, FORMAT_QYDB, false), DOC_LOAD_OK);
  ASSERT_EQ(doc.GetNodeCount(), 39999);
  EXPECT_EQ(Note(doc, "m19999")->m_nSibling, 1);
  EXPECT_EQ(Note(doc, "m1")->m_nSibling, 1);
  EXPECT_EQ(Note(doc, "n19999")->m_nSibling, 0);
}

TEST_F(SqliteLoadTest, NotADatabaseIsAFormatError) {
  const std::string path = m_dir / "text.qydb";
  {
    std::ofstream out(path.c_str());
    for (int i = 0; i < 200; ++i) out << "This is a plain text file, not a database.\n";
  }
  quillery::LogCapture cap;
  NoteDocument doc;
  EXPECT_EQ(doc.Load(path.c_str(), nullptr, FORMAT_QYDB, false), DOC_LOAD_FORMAT_ERROR);
  EXPECT_TRUE(cap.Has("Format error 1.\n"));
}

TEST_F(SqliteLoadTest, DamagedPagesGiveAResultNotACrash) {
  const std::string path = NewDb();
  {
    RawDb db(path);
    db.Exec("BEGIN");
    for (int i = 0; i < 500; ++i) AddNote(db, "n" + std::to_string(i), "", i, std::string(200, 'x'));
    db.Exec("COMMIT");
  }
  // Overwrite everything after the first page with garbage.
  const int fd = open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  std::string junk(64 * 1024, '\xA5');
  ASSERT_EQ(pwrite(fd, junk.data(), junk.size(), 4096), static_cast<ssize_t>(junk.size()));
  close(fd);
  NoteDocument doc;
  const int r = doc.Load(path.c_str(), nullptr, FORMAT_QYDB, false);
  EXPECT_TRUE(r == DOC_LOAD_FORMAT_ERROR || r == DOC_LOAD_UNKNOWN_FORMAT) << r;
}

TEST_F(SqliteLoadTest, CancelEndsTheLoad) {
  const std::string path = NewDb();
  {
    RawDb db(path);
    AddNote(db, "A", "", 0, "A");
  }
  ProgressInfo::SetCanceled(true);
  NoteDocument doc;
  EXPECT_EQ(doc.Load(path.c_str(), nullptr, FORMAT_QYDB, false), DOC_LOAD_ABORTED);
  ProgressInfo::SetCanceled(false);
  // The file is not left locked: it loads again.
  NoteDocument again;
  EXPECT_EQ(again.Load(path.c_str(), nullptr, FORMAT_QYDB, false), DOC_LOAD_OK);
}

TEST_F(SqliteLoadTest, ProgressCountsNotesTagsAndProperties) {
  const std::string path = NewDb();
  {
    RawDb db(path);
    AddNote(db, "A", "", 0, "A");
    AddNote(db, "B", "", 1, "B");
    db.Exec("INSERT INTO tags (tag_name) VALUES ('t')");
    db.Exec("INSERT INTO tags_notes (note_id, tag_id) VALUES ('A', 1)");
    db.Exec("INSERT INTO custom_properties (note_id, prop_name, prop_value) VALUES ('B', 'k', 'v')");
  }
  NoteDocument doc;
  ASSERT_EQ(doc.Load(path.c_str(), nullptr, FORMAT_QYDB, false), DOC_LOAD_OK);
  EXPECT_EQ(ProgressInfo::GetTotalSize(), 4);
  EXPECT_EQ(ProgressInfo::GetCurrentSize(), 4);
}

}  // namespace

namespace {

// A file that lacks a table or column of the schema, or whose size is not
// its pages, is refused whole, however it is opened.
TEST_F(SqliteLoadTest, DamagedFilesAreRefusedWith5) {
  const std::string sound = NewDb("sound.qydb");
  {
    RawDb db(sound);
    for (int i = 0; i < 40; ++i) AddNote(db, "N" + std::to_string(i), "", i, "t", std::string(300, 'x'));
  }
  const std::pair<const char*, off_t> damages[] = {{"DROP TABLE tags", 0},
                                                   {"ALTER TABLE notes DROP COLUMN note_text", 0},
                                                   {nullptr, 1},
                                                   {nullptr, 4095}};
  for (const auto& d : damages) {
    for (bool readOnly : {false, true}) {
      SCOPED_TRACE(std::to_string(d.second) + (readOnly ? " read-only" : ""));
      const std::string path = m_dir / "damaged.qydb";
      std::ofstream(path.c_str(), std::ios::binary | std::ios::trunc) << std::ifstream(sound.c_str()).rdbuf();
      if (d.first) RawDb(path).Exec(d.first);
      ASSERT_EQ(truncate(path.c_str(), File64::FileSize(path) - d.second), 0);
      quillery::LogCapture cap;
      NoteDocument doc;
      doc.SetReadOnlyLoad(readOnly);
      EXPECT_EQ(doc.Load(path.c_str(), nullptr, FORMAT_QYDB, false), DOC_LOAD_FORMAT_ERROR);
      EXPECT_TRUE(cap.Contains(d.first ? "the file lacks " : "pages of 4096 bytes"));
      NoteDocument none;
      FormatIO_Sqlite outliner;
      quillery::TreeOutline outline;
      EXPECT_EQ(outliner.LoadOutline(path.c_str(), none, outline), DOC_LOAD_FORMAT_ERROR);
      // A dump copies pages of any schema version, never a cut file's.
      const std::string dump = m_dir / "dump.qydb";
      unlink(dump.c_str());
      EXPECT_EQ(FormatIO_Sqlite().DumpFile(path.c_str(), dump.c_str(), nullptr), d.second == 0);
    }
  }
}

}  // namespace

namespace {

// The note whose parent closes a cycle becomes a top-level note, as one
// whose parent is missing does: every note is kept and walked.
TEST_F(SqliteLoadTest, ParentCyclesAreBrokenAndEveryNoteKept) {
  const std::string path = NewDb();
  {
    RawDb db(path);
    AddNote(db, "R", "", 0, "root");
    AddNote(db, "A", "B", 0, "A");
    AddNote(db, "B", "A", 0, "B");
    AddNote(db, "C", "B", 1, "under the cycle");
    AddNote(db, "S", "S", 3, "self");
  }
  for (bool readOnly : {true, false}) {
    quillery::LogCapture cap;
    NoteDocument doc;
    doc.SetReadOnlyLoad(readOnly);
    ASSERT_EQ(doc.Load(path.c_str(), nullptr, FORMAT_QYDB, false), DOC_LOAD_OK);
    EXPECT_EQ(doc.GetNodeCount(), 5);
    EXPECT_EQ(Note(doc, "S")->m_strParentID, "");
    EXPECT_EQ(Note(doc, "A")->m_strParentID.empty() + Note(doc, "B")->m_strParentID.empty(), 1);
    EXPECT_TRUE(cap.Contains("Parent cycle detected at the note: "));
    EXPECT_EQ(RecursiveTreeWalker(doc).GetTotalNoteCount(), 5);
    // A read-only load repairs in memory only; a writable one writes the
    // repair with the next save.
    if (!readOnly) {
      RecursiveTreeWalker walker(doc);
      EXPECT_EQ(doc.Save(path.c_str(), walker, false), DOC_SAVE_OK);
    }
    doc.Close();
    RawDb db(path);
    EXPECT_EQ(db.Scalar("SELECT note_pid FROM notes_tree WHERE note_id='S'"), readOnly ? "S" : "");
  }
}

}  // namespace

namespace {

// The outline `info` reads of a database is the tree a load gives, or it
// declines: any tree a load would repair or skip parts of needs the load.
TEST_F(SqliteLoadTest, OutlineIsTheLoadedTreeOrDeclines) {
  struct Row { const char *id, *pid; int pos; };
  const std::vector<Row> sound = {{"R", "", 0}, {"S", "", 1}, {"a", "R", 0}, {"b", "R", 1}, {"c", "b", 0}};
  const std::vector<std::vector<Row>> damaged = {
      {{"R", "", 0}, {"a", "nowhere", 0}},  // a parent that names no note
      {{"R", "", 0}, {"S", "", 0}},         // a repeated position
      {{"R", "", 0}, {"S", "", 2}},         // a gap
      {{"R", "", 0}, {"A", "B", 0}, {"B", "A", 0}},  // a parent cycle
      {{"R", "", 0}, {"", "", 1}},          // an empty ID
  };
  for (size_t k = 0; k <= damaged.size(); ++k) {
    const std::string path = NewDb("t" + std::to_string(k) + ".qydb");
    {
      RawDb db(path);
      for (const Row& r : k == 0 ? sound : damaged[k - 1]) AddNote(db, r.id, r.pid, r.pos, "t");
      db.Exec("INSERT INTO options (opt_name, opt_value) VALUES ('doc_title', 'Title'), ('doc_UID', 'U1')");
    }
    NoteDocument doc;
    FormatIO_Sqlite fmt;
    quillery::TreeOutline outline;
    const int r = fmt.LoadOutline(path.c_str(), doc, outline);
    if (k > 0) {
      EXPECT_EQ(r, FormatIO_Sqlite::OUTLINE_NEEDS_LOAD) << k;
      continue;
    }
    ASSERT_EQ(r, DOC_LOAD_OK);
    EXPECT_EQ(outline.ids, (std::vector<std::string>{"R", "S", "a", "b", "c"}));  // the tree query's order
    EXPECT_EQ(outline.levels, 3);
    EXPECT_EQ(doc.GetTitle(), "Title");
    EXPECT_EQ(doc.GetUID(), "U1");
    EXPECT_EQ(fmt.GetFormatVersion(), "21");
    EXPECT_FALSE(fmt._db.isOpen());
  }
  // Open failures are the load's own.
  const std::string text = m_dir / "text.qydb";
  std::ofstream(text.c_str()) << std::string(8192, 'x');
  NoteDocument doc;
  FormatIO_Sqlite fmt;
  quillery::TreeOutline outline;
  EXPECT_EQ(fmt.LoadOutline(text.c_str(), doc, outline), DOC_LOAD_FORMAT_ERROR);
}

}  // namespace
