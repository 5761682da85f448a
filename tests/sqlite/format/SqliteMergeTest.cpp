// Merging an SQLite file into an open document: notes whose IDs the document
// already uses are renamed, and everything that named them follows.

#include <fstream>
#include <vector>

#include "base/Log.h"
#include "common/NoteBuilder.h"
#include "common/NullDynamicFormat.h"
#include "model/RecursiveTreeWalker.h"
#include "sqlite/format/SqliteLoadFixture.h"

using namespace quillery_test;

namespace {

// The file: A (clashes) with child B linking to A; C a clone of A; K
// (clashes) a clone of Z, which keeps its ID.
void FillMergeFile(const std::string& path) {
  RawDb db(path);
  AddNote(db, "A", "", 0, "file A", "text of A", ", icon_type", ", -3");
  AddNote(db, "B", "A", 0, "file B", "text of B");
  AddNote(db, "C", "", 1, "file C", "", ", note_clone_id", ", 'A'");
  AddNote(db, "K", "", 2, "file K", "", ", note_clone_id", ", 'Z'");
  AddNote(db, "Z", "", 3, "file Z", "text of Z");
  db.Exec("INSERT INTO links (note_id, note_offset, lnk_length, target_url, target_note_id) VALUES "
          "('B', 0, 4, '', 'A'), ('B', -1, 0, '', 'A'), ('B', 5, 2, 'http://x', 'A')");
  db.ExecBlob("INSERT INTO icons (note_id, image_title, image_data, is_png) VALUES ('A', 'i', ?, 1)", TinyPicture());
  db.Exec("INSERT INTO tags (tag_name) VALUES ('x')");
  db.Exec("INSERT INTO tags_notes (note_id, tag_id) VALUES ('A', 1)");
  db.Exec("INSERT INTO custom_properties (note_id, prop_name, prop_value) VALUES ('A', 'k', 'v')");
  db.Exec("INSERT INTO anchors (note_id, anc_name, anc_offset) VALUES ('A', 'anc1', 0)");
  db.Exec("INSERT INTO bookmarks (node_id, book_title, book_pos) VALUES ('A', 'bm', 0)");
  db.Exec("INSERT INTO options (opt_name, opt_value) VALUES ('doc_title', 'file title'), ('doc_UID', 'FILEUID')");
}

int FindByTitle(NoteDocument& doc, const std::string& title) {
  for (int i = 0; i < doc.GetNodeCount(); ++i)
    if (doc.GetNodeByIdx(i).GetTitle() == title) return i;
  return -1;
}

// The document's own notes A, K and K's child K1.
void FillDocument(NoteDocument& doc) {
  quillery_test::AddNote(doc, "", "A", "mine");
  quillery_test::AddNote(doc, "", "K", "");
  quillery_test::AddNote(doc, "K", "K1", "");
  doc.m_mapAnchors["own"] = "A";
  doc.SetTitle("my title");
}

TEST_F(SqliteLoadTest, MergeRenamesClashingNotesAndEverythingFollows) {
  const std::string path = NewDb();
  FillMergeFile(path);
  NoteDocument doc;
  FillDocument(doc);
  ASSERT_EQ(doc.Load(path.c_str(), nullptr, FORMAT_QYDB, false, true, doc.GetIdxFromID("K")), DOC_LOAD_OK);
  ASSERT_EQ(doc.GetNodeCount(), 8);

  // The document's own notes keep their IDs and data.
  NoteNode& mine = doc.GetNodeByIdx(doc.GetIdxFromID("A"));
  EXPECT_EQ(mine.GetTitle(), "mine");
  EXPECT_TRUE(mine.GetKeywords().empty());
  EXPECT_TRUE(mine.m_lstCustomProperties.empty());
  EXPECT_EQ(doc.m_mapNoteIcon.count("A"), 0u);
  EXPECT_EQ(doc.m_mapAnchors["own"], "A");
  EXPECT_EQ(doc.GetTitle(), "my title");

  const int ia = FindByTitle(doc, "file A");
  ASSERT_GE(ia, 0);
  NoteNode& a = doc.GetNodeByIdx(ia);
  const std::string newA = a.m_strID;
  EXPECT_NE(newA, "A");
  EXPECT_EQ(newA.size(), 22u);
  EXPECT_EQ(a.m_strParentID, "K");
  EXPECT_EQ(a.m_nSibling, 1);  // after K's own child
  EXPECT_EQ(a.GetText(), "text of A");  // fetched under the stored ID
  EXPECT_EQ(a.GetKeywords(), ";x;");
  ASSERT_EQ(a.m_lstCustomProperties.size(), 1u);
  EXPECT_EQ(doc.m_mapNoteIcon.count(newA), 1u);
  EXPECT_EQ(doc.m_mapAnchors["anc1"], newA);
  EXPECT_EQ(doc.GetBookmarkList().GetBookPath(0), newA);

  NoteNode& b = doc.GetNodeByIdx(FindByTitle(doc, "file B"));
  EXPECT_EQ(b.m_strID, "B");
  EXPECT_EQ(b.m_strParentID, newA);
  EXPECT_EQ(b.GetText(), "text of B");
  ASSERT_EQ(b.m_objText.m_lstLinks.GetSize(), 2);
  EXPECT_EQ(b.m_objText.m_lstLinks.GetAt(0).strTargetID, newA);
  EXPECT_EQ(b.m_objText.m_lstLinks.GetAt(1).strTargetID, "A");  // a URL link is left alone
  EXPECT_EQ(b.m_objLink.strTargetID, newA);

  EXPECT_EQ(doc.GetNodeByIdx(FindByTitle(doc, "file C")).m_strCloneOf, newA);
  NoteNode& k = doc.GetNodeByIdx(FindByTitle(doc, "file K"));
  EXPECT_NE(k.m_strID, "K");
  EXPECT_EQ(k.m_strCloneOf, "Z");  // its original kept its ID
  EXPECT_EQ(doc.GetClones(newA).count("C"), 1u);
  EXPECT_EQ(doc.GetClones("Z").count(k.m_strID), 1u);
}

// A dynamic document that records what the merge hands it.
class RecordingLoader : public NullDynamicFormat {
 public:
  struct Update {
    std::string id, parent, text;
    unsigned int mask;
    bool newNote;
    std::vector<std::string> linkTargets;
  };
  void OnNodeInsert(NoteNode& n, bool) override { inserts.push_back(n.m_strID); }
  bool OnNodeUpdate(NoteNode& n, unsigned int mask, bool newNote, std::string*) override {
    Update u{n.m_strID, n.m_strParentID, n.GetText(), mask, newNote, {}};
    for (const LinkInfo& l : n.m_objText.m_lstLinks.Items()) u.linkTargets.push_back(l.strTargetID);
    updates.push_back(u);
    return true;
  }
  void OnNodeCustomIconSet(NoteNode& n, PixInfo&) override { icons.push_back(n.m_strID); }
  std::vector<std::string> inserts, icons;
  std::vector<Update> updates;
  static RecordingLoader* last;
};
RecordingLoader* RecordingLoader::last = nullptr;

FormatIO_Base* CreateRecorder() { return RecordingLoader::last = new RecordingLoader; }

TEST_F(SqliteLoadTest, MergeIntoAnotherDatabaseHandsOverWholeNotes) {
  const std::string path = NewDb();
  FillMergeFile(path);
  const std::string own = m_dir / "own.note";
  { std::ofstream touch(own.c_str()); }
  FileFormatFactory::Get().Register(FORMAT_NOTE, &CreateRecorder);
  NoteDocument doc;
  ASSERT_EQ(doc.Load(own.c_str(), nullptr, FORMAT_NOTE), DOC_LOAD_OK);
  RecordingLoader* rec = RecordingLoader::last;
  FillDocument(doc);
  rec->inserts.clear();
  rec->updates.clear();

  ASSERT_EQ(doc.Load(path.c_str(), nullptr, FORMAT_QYDB, false, true, -1), DOC_LOAD_OK);
  FileFormatFactory::Get().Register(FORMAT_NOTE, nullptr);
  ASSERT_EQ(rec->inserts.size(), 5u);
  const std::string newA = doc.GetNodeByIdx(FindByTitle(doc, "file A")).m_strID;
  bool sawA = false, sawB = false;
  for (const auto& u : rec->updates) {
    EXPECT_TRUE(u.newNote);
    EXPECT_EQ(u.mask, 0x26BDu | NIF_PROPERTIES);
    if (u.id == newA) {
      sawA = true;
      EXPECT_EQ(u.text, "text of A");
      EXPECT_EQ(u.parent, "");
    }
    if (u.id == "B") {
      sawB = true;
      EXPECT_EQ(u.parent, newA);
      ASSERT_EQ(u.linkTargets.size(), 2u);
      EXPECT_EQ(u.linkTargets[0], newA);
    }
  }
  EXPECT_TRUE(sawA && sawB);
  ASSERT_EQ(rec->icons.size(), 1u);
  EXPECT_EQ(rec->icons[0], newA);
  // The merged notes stay in the document without their contents, which
  // the document's own database now holds.
  EXPECT_TRUE(doc.GetNodeByIdx(FindByTitle(doc, "file A")).GetText().empty());
}

}  // namespace

namespace {

// Reads the first column of the first row through the format's own
// connection, inside its open transaction.
std::string Stored(FormatIO_Sqlite& fmt, const std::string& sql) {
  CppSQLite3Exception e;
  CppSQLite3Query q = fmt._db.execQuery(sql.c_str(), &e);
  return q.eof() ? "<none>" : q.getStringField(0, "<null>");
}

TEST_F(SqliteLoadTest, MergeIntoAnOpenDatabaseStoresWholeNotesThere) {
  const std::string source = NewDb("source.qydb");
  FillMergeFile(source);
  const std::string target = NewDb("target.qydb");
  {
    RawDb db(target);
    AddNote(db, "A", "", 0, "mine", "my own A");
    AddNote(db, "K", "", 1, "K");
  }
  NoteDocument doc;
  ASSERT_EQ(doc.Load(target.c_str(), nullptr, FORMAT_QYDB, false), DOC_LOAD_OK);
  ASSERT_EQ(doc.Load(source.c_str(), nullptr, FORMAT_QYDB, false, true, doc.GetIdxFromID("K")), DOC_LOAD_OK);
  FormatIO_Sqlite& fmt = *Loader(doc);
  const std::string newA = doc.GetNodeByIdx(FindByTitle(doc, "file A")).m_strID;
  EXPECT_EQ(Stored(fmt, "SELECT count(*) FROM notes"), "7");
  EXPECT_EQ(Stored(fmt, "SELECT note_text FROM notes WHERE note_id='A'"), "my own A");
  EXPECT_EQ(Stored(fmt, "SELECT note_text FROM notes WHERE note_id='" + newA + "'"), "text of A");
  EXPECT_EQ(Stored(fmt, "SELECT note_pid FROM notes_tree WHERE note_id='" + newA + "'"), "K");
  EXPECT_EQ(Stored(fmt, "SELECT note_pid FROM notes_tree WHERE note_id='B'"), newA);
  EXPECT_EQ(Stored(fmt, "SELECT count(*) FROM links WHERE note_id='B' AND target_note_id='" + newA + "'"), "2");
  EXPECT_EQ(Stored(fmt, "SELECT icon_type FROM notes WHERE note_id='" + newA + "'"), "-3");
  EXPECT_EQ(Stored(fmt, "SELECT count(*) FROM icons WHERE note_id='" + newA + "'"), "1");
  EXPECT_EQ(Stored(fmt, "SELECT note_clone_id FROM notes WHERE note_title='file C'"), newA);
  EXPECT_EQ(Stored(fmt, "SELECT tag_name FROM tags, tags_notes WHERE tags.tag_id=tags_notes.tag_id AND note_id='" +
                            newA + "'"),
            "x");
  // Selecting a merged note reads it from the document's own database.
  NoteNode& a = doc.OnNoteSelected(doc.GetIdxFromID(newA), NIF_ALL, false);
  EXPECT_EQ(a.GetText(), "text of A");
  // The merged file itself is unchanged.
  RawDb src(source);
  EXPECT_EQ(src.Scalar("SELECT count(*) FROM notes"), "5");
  EXPECT_EQ(src.Scalar("SELECT note_pid FROM notes_tree WHERE note_id='B'"), "A");
}

TEST_F(SqliteLoadTest, TreeRepairsAreWrittenBackToTheFile) {
  const std::string path = NewDb();
  {
    RawDb db(path);
    AddNote(db, "a", "", 0, "a");
    AddNote(db, "B", "", 0, "B");
    AddNote(db, "O", "a", 0, "O");
    AddNote(db, "P", "a", 3, "P");
  }
  // Written into the long-running transaction: a close without a save
  // drops them, a save keeps them.
  const char* const kTree = "SELECT group_concat(note_id || note_pos) FROM notes_tree";
  const std::string before = RawDb(path).Scalar(kTree);
  for (bool save : {false, true}) {
    EXPECT_EQ(RawDb(path).Scalar(kTree), before);
    NoteDocument doc;
    ASSERT_EQ(doc.Load(path.c_str(), nullptr, FORMAT_QYDB, false), DOC_LOAD_OK);
    RecursiveTreeWalker walker(doc);
    if (save) {
      ASSERT_EQ(doc.Save(path.c_str(), walker, false), DOC_SAVE_OK);
    }
  }
  RawDb db(path);
  EXPECT_EQ(db.Scalar("SELECT note_pos FROM notes_tree WHERE note_id='B'"), "0");
  EXPECT_EQ(db.Scalar("SELECT note_pos FROM notes_tree WHERE note_id='a'"), "1");
  EXPECT_EQ(db.Scalar("SELECT note_pos FROM notes_tree WHERE note_id='P'"), "1");
}

}  // namespace

namespace {

TEST_F(SqliteLoadTest, MergeLeavesAnOldPropertiesTableOfTheMergedFileAlone) {
  const std::string path = NewDb();
  const char* oldTable =
      "CREATE TABLE custom_properties (id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, note_id VARCHAR(30) NULL, "
      "prop_name VARCHAR(40) NOT NULL, prop_value VARCHAR(255) NULL, UNIQUE(note_id, prop_name))";
  {
    RawDb db(path);
    db.Exec("DROP TABLE custom_properties");
    db.Exec(oldTable);
    AddNote(db, "A", "", 0, "file A");
    db.Exec("INSERT INTO custom_properties (note_id, prop_name, prop_value) VALUES ('A', 'k', 'v')");
  }
  NoteDocument doc;
  doc.NodeInitID(doc.NodeInsert("", -1), "A");
  doc.GetNodeByIdx(0).m_lstCustomProperties.emplace_back("mine", "x");
  ASSERT_EQ(doc.Load(path.c_str(), nullptr, FORMAT_QYDB, false, true, -1), DOC_LOAD_OK);
  ASSERT_EQ(doc.GetNodeByIdx(1).m_lstCustomProperties.size(), 1u);
  RawDb db(path);
  EXPECT_EQ(db.Scalar("SELECT sql FROM sqlite_master WHERE name='custom_properties'"), oldTable);
  EXPECT_EQ(db.Rows("SELECT note_id, prop_name FROM custom_properties"), std::vector<std::string>{"A|k"});
}

// The document's database refusing a merged note is a failed merge, not
// a merged note that reads back empty; the other notes are stored.
TEST_F(SqliteLoadTest, MergeIntoAnOpenDatabaseThatRefusesANoteFails) {
  const std::string source = NewDb("source.qydb");
  FillMergeFile(source);
  const std::string target = NewDb("target.qydb");
  {
    RawDb db(target);
    AddNote(db, "OWN", "", 0, "own");
    // A second note of that title is refused (the file's own triggers
    // never run, its constraints do).
    AddNote(db, "OWN2", "", 1, "file B");
    db.Exec("CREATE UNIQUE INDEX refuse ON notes(note_title) WHERE note_title = 'file B'");
  }
  NoteDocument doc;
  ASSERT_EQ(doc.Load(target.c_str(), nullptr, FORMAT_QYDB, false), DOC_LOAD_OK);
  quillery::LogCapture log;
  EXPECT_EQ(doc.Load(source.c_str(), nullptr, FORMAT_QYDB, false, true, -1), DOC_LOAD_FORMAT_ERROR);
  EXPECT_TRUE(log.Contains("1 of 5 notes could not be stored"));
  FormatIO_Sqlite& fmt = *Loader(doc);
  EXPECT_EQ(Stored(fmt, "SELECT note_text FROM notes WHERE note_title='file A'"), "text of A");
  EXPECT_EQ(Stored(fmt, "SELECT count(*) FROM notes WHERE note_title='file B'"), "1");
}

// A clash deep in a long file: the rows before and after it, read ahead of
// the rename, arrive whole and in order.
TEST_F(SqliteLoadTest, MergeRenamesAClashLateInALongTree) {
  const std::string path = NewDb();
  {
    RawDb db(path);
    db.Exec("BEGIN");
    for (int i = 0; i < 3000; ++i) AddNote(db, "n" + std::to_string(i), "", i, "t" + std::to_string(i));
    db.Exec("COMMIT");
  }
  NoteDocument doc;
  doc.NodeInitID(doc.NodeInsert("", -1), "n2500");
  ASSERT_EQ(doc.Load(path.c_str(), nullptr, FORMAT_QYDB, false, true, -1), DOC_LOAD_OK);
  ASSERT_EQ(doc.GetNodeCount(), 3001);
  EXPECT_EQ(doc.GetNodeByIdx(doc.GetIdxFromID("n2500")).GetTitle(), "");
  const int renamed = FindByTitle(doc, "t2500");
  ASSERT_GE(renamed, 0);
  EXPECT_NE(doc.GetNodeByIdx(renamed).m_strID, "n2500");
  for (int i : {0, 2499, 2501, 2999}) {
    const int idx = doc.GetIdxFromID("n" + std::to_string(i));
    ASSERT_GE(idx, 0) << i;
    EXPECT_EQ(doc.GetNodeByIdx(idx).GetTitle(), "t" + std::to_string(i));
    EXPECT_EQ(doc.GetNodeByIdx(idx).m_nSibling, i + 1);
  }
}

}  // namespace
