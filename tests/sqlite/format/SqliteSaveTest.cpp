// Saving of the SQLite format: a new database from a document with every
// feature, walks that cut the tree, clone conversion, the commit of the
// open database, cancel, a disk that fills up and the refusals.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>

#include "base/Log.h"
#include "save/SafeSave.h"
#include "common/CloneAnswerController.h"
#include "common/RawSqlite.h"
#include "base/Progress.h"
#include "model/FileFormatFactory.h"
#include "sqlite/codec/CodecVfs.h"
#include "sqlite/format/FormatIO_SqliteEnc.h"
#include "sqlite/format/SqliteWriteTestUtil.h"

using namespace qysqlw;

namespace {

// Runs body in a forked child and returns its exit status (-1 when it did
// not exit normally). The body may limit the file size itself.
int InChild(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) _exit(body());
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// From now on, files of this process cannot grow beyond bytes (writes fail
// with EFBIG instead of raising SIGXFSZ).
void LimitFileSize(rlim_t bytes) {
  signal(SIGXFSZ, SIG_IGN);
  struct rlimit lim;
  getrlimit(RLIMIT_FSIZE, &lim);
  lim.rlim_cur = bytes;
  setrlimit(RLIMIT_FSIZE, &lim);
}

// The failure reason of a write refused by the file-size limit.
const char kNoGrowth[] = "writing failed: the file would exceed the file-size limit";

using AnswerController = quillery_test::CloneAnswerController;

class SqliteSave : public ::testing::Test {
 protected:
  void SetUp() override {
    FormatIO_Base::SetEnableSharing(true);
    ProgressInfo::Reset();
    path = dir / "doc.qydb";
  }
  void TearDown() override { ProgressInfo::Reset(); }

  // Registers the format (the test unregisters it); saves and closes.
  void SaveEveryFeatureFile() {
    FileFormatFactory::Get().Register(FORMAT_QYDB, []() -> FormatIO_Base* { return new FormatIO_Sqlite; });
    EveryFeatureDocument(doc);
    RecursiveTreeWalker all(doc);
    ASSERT_EQ(doc.Save(path.c_str(), all, false), 0);
    doc.Close();
  }

  int SaveWalk(int type, const char* startID, const std::string& target) {
    RecursiveTreeWalker walker(doc, type, startID ? doc.GetIdxFromID(startID) : -1);
    fmt.reset(new FormatIO_Sqlite);
    return fmt->Save(target.c_str(), walker);
  }
  // The document with every feature saved at path and loaded into a; the
  // factory makes SQLite formats until the test unregisters them.
  void SaveAndLoad(NoteDocument& a) {
    FileFormatFactory::Get().Register(FORMAT_QYDB, []() -> FormatIO_Base* { return new FormatIO_Sqlite; });
    EveryFeatureDocument(doc);
    RecursiveTreeWalker all(doc);
    ASSERT_EQ(doc.Save(path.c_str(), all, false), 0);
    ASSERT_EQ(a.Load(path.c_str()), 0);
  }
  Rows Q(const char* sql) { return QueryFile(path, sql); }
  std::string C(const char* sql) { return Cell(QueryFile(path, sql)); }

  TempDir dir;
  std::string path;
  NoteDocument doc;
  std::unique_ptr<FormatIO_Sqlite> fmt;
};

TEST_F(SqliteSave, NewDatabaseHoldsEveryFeature) {
  EveryFeatureDocument(doc);
  doc.m_nCurrentNoteIdx = doc.GetIdxFromID("CHILD");
  ASSERT_EQ(SaveWalk(WALK_ALL, nullptr, path), 0);
  EXPECT_TRUE(fmt->InTransaction());
  EXPECT_EQ(fmt->_strPath, path);
  // Built without syncs; as the document's database its commits are durable.
  EXPECT_EQ(One(*fmt, "PRAGMA synchronous"), "2");
  EXPECT_EQ(doc.m_nCurrentNoteIdx, doc.GetIdxFromID("CHILD"));

  EXPECT_EQ(Q("SELECT note_id, note_pid, note_pos, is_expanded FROM notes_tree ORDER BY note_pid, note_pos"),
            (Rows{{"TOP", "", "0", "1"}, {"LAST", "", "1", "0"}, {"CLONE", "", "2", "0"}, {"CHILD", "TOP", "0", "0"}}));
  EXPECT_EQ(Q("SELECT note_title, note_clone_id, is_finished, note_text, date_created, date_modified, icon_type, "
              "icon_info, is_readonly, is_template, syntax_highlight, use_custom_txt_color, custom_txt_color, "
              "use_custom_bkg_color, custom_bkg_color, use_custom_font, custom_font, use_custom_note_bkg_color, "
              "custom_note_bkg_color FROM notes WHERE note_id='TOP'"),
            (Rows{{"Top 'quoted' & more", "", "1", "bold then plain\nsecond line with colour", "1600000000",
                   "4102444800", "-1", "/icons/star.png", "0", "1", "cpp", "1", "#123456", "1", "#fedcba", "1",
                   "Serif Bold 10", "1", "#eeeedd"}}));
  EXPECT_EQ(C("SELECT note_clone_id FROM notes WHERE note_id='CLONE'"), "CHILD");
  EXPECT_EQ(Q("SELECT note_offset, fmt_tag, fmt_color, fmt_font, fmt_value FROM formatting WHERE note_id='TOP' "
              "ORDER BY fmt_id"),
            (Rows{{"0", "1", "", "", "100"},
                  {"4", "2", "", "", "100"},
                  {"5", "7", "#ff8000", "", "100"},
                  {"9", "8", "#ff8000", "", "100"},
                  {"10", "17", "", "O'Neil Sans 12", "100"},
                  {"15", "18", "", "O'Neil Sans 12", "100"},
                  {"16", "31", "", "", "150"},
                  {"20", "32", "", "", "150"}}));
  EXPECT_EQ(Q("SELECT anc_name, anc_offset FROM anchors"), (Rows{{"it's here", "3"}}));
  EXPECT_EQ(Q("SELECT note_offset, lnk_length, target_url, target_note_id FROM links WHERE note_id='TOP' "
              "ORDER BY lnk_id"),
            (Rows{{"10", "5", "http://example.com/a?b='c'", ""},
                  {"20", "3", "", "CHILD"},
                  {"-1", "0", "http://example.com/own", ""}}));
  EXPECT_EQ(Q("SELECT note_offset, image_title, is_png, image_data FROM images WHERE note_id='CHILD' "
              "ORDER BY note_offset"),
            (Rows{{"5", "dot.png", "1", qycont::TinyPng()}, {"10", "photo.jpg", "0", TinyJpeg()}}));
  EXPECT_EQ(Q("SELECT note_pos, att_title, att_data, att_size, att_code, att_target FROM attachments "
              "ORDER BY note_pos"),
            (Rows{{"0", "notes.txt", std::string("attached\0bytes", 14), "14", "ATTCODE0123456789abcde", "target"},
                  {"1", "second.bin", "two", "3", "ATTCODE0123456789abcdf", ""}}));
  EXPECT_EQ(Q("SELECT note_id, date_created, date_due, ifnull(date_completed, 'NULL'), date_last_acknowledged, "
              "task_priority, task_status, task_repeating, alarm_sound, alarm_mode, script_path FROM tasks"),
            (Rows{{"CHILD", "1700000000", "1700003600", "NULL", "1700001000", "2", "1", "3", "/snd/ding.wav", "1",
                   "/bin/true"}}));
  EXPECT_EQ(Q("SELECT note_id, tag_name FROM tags, tags_notes WHERE tags.tag_id=tags_notes.tag_id "
              "ORDER BY tags_notes.id"),
            (Rows{{"TOP", "red"}, {"TOP", "blue"}, {"CHILD", "blue"}}));
  EXPECT_EQ(C("SELECT count(*) FROM tags"), "2");
  EXPECT_EQ(Q("SELECT ifnull(note_id, 'doc'), prop_name, prop_value FROM custom_properties ORDER BY id"),
            (Rows{{"TOP", "colour", "green"}, {"doc", "docprop", "v<&>'"}}));
  EXPECT_EQ(Q("SELECT note_id, image_data, is_png FROM icons"), (Rows{{"LAST", qycont::TinyPng(), "1"}}));
  EXPECT_EQ(Q("SELECT opt_name, opt_value FROM options ORDER BY id"),
            (Rows{{"is_readonly", "0"},
                  {"prop_modified", "1700000000"},
                  {"start_node", "CHILD"},
                  {"doc_title", "Every 'feature'"},
                  {"doc_author", "Tester"},
                  {"doc_UID", "DOCUID0123456789abcdef"},
                  {"format_version", "21"}}));
  EXPECT_EQ(Q("SELECT node_id, book_title, book_pos FROM bookmarks ORDER BY book_pos"),
            (Rows{{"CHILD", "mark one", "0"}, {"TOP", "mark two", "1"}}));
  EXPECT_EQ(Q("SELECT note_id FROM deletions"), (Rows{{"GONEnote00000000000001"}}));
  EXPECT_EQ(Q("SELECT att_code FROM deletions_attachments"), (Rows{{"GONEatt000000000000001"}}));
  EXPECT_EQ(C("SELECT count(*) FROM sqlite_master WHERE type='index' AND name LIKE 'IDX_%'"), "15");
}

TEST_F(SqliteSave, DocumentWideDataIsRewrittenInPlace) {
  EveryFeatureDocument(doc);
  doc.m_nLastNoteIdx = doc.GetIdxFromID("LAST");  // no note selected: the one a native file named
  ASSERT_EQ(SaveWalk(WALK_ALL, nullptr, path), 0);
  EXPECT_EQ(C("SELECT opt_value FROM options WHERE opt_name='start_node'"), "LAST");
  const std::string titleRow = C("SELECT id FROM options WHERE opt_name='doc_title'");
  doc.SetTitle("Renamed");
  doc.SetReadOnly(true);
  doc.GetBookmarkList().Remove(0);
  doc.m_lstCustomProperties.clear();
  RecursiveTreeWalker walker(doc);
  // The same file under another spelling is still the same file: a commit,
  // not a second copy of every note.
  const std::string other = dir.Path() + "/./doc.qydb";
  ASSERT_EQ(fmt->Save(other.c_str(), walker), 0);
  EXPECT_EQ(C("SELECT count(*) FROM notes"), "4");
  EXPECT_EQ(C("SELECT opt_value || '/' || id FROM options WHERE opt_name='doc_title'"), "Renamed/" + titleRow);
  EXPECT_EQ(C("SELECT opt_value FROM options WHERE opt_name='is_readonly'"), "1");
  EXPECT_EQ(Q("SELECT node_id, book_pos FROM bookmarks"), (Rows{{"TOP", "0"}}));
  EXPECT_EQ(C("SELECT count(*) FROM custom_properties WHERE note_id IS NULL"), "0");
  EXPECT_EQ(C("SELECT count(*) FROM custom_properties"), "1");

  // Without the store-bookmarks flag the stored list stays; a plug-in's
  // document writes no document-wide data at all.
  doc.m_bStoreBookmarks = false;
  doc.GetBookmarkList().Clear();
  fmt->StoreGlobalData();
  doc.m_bPlugin = true;
  doc.SetTitle("Plugin");
  fmt->StoreGlobalData();
  EXPECT_EQ(One(*fmt, "SELECT count(*) FROM bookmarks"), "1");
  EXPECT_EQ(One(*fmt, "SELECT opt_value FROM options WHERE opt_name='doc_title'"), "Renamed");
}

TEST_F(SqliteSave, WalksThatCutTheTreeMakeTheirTopNotesTopLevel) {
  EveryFeatureDocument(doc);
  AddNote(doc, "CHILD", "GRAND", "Grand", "g");
  ASSERT_EQ(SaveWalk(WALK_BRANCH, "CHILD", path), 0);
  EXPECT_EQ(Q("SELECT note_id, note_pid, note_pos FROM notes_tree ORDER BY note_pid"),
            (Rows{{"CHILD", "", "0"}, {"GRAND", "CHILD", "0"}}));
  // The document itself keeps its tree.
  EXPECT_EQ(doc.GetNodeByIdx(doc.GetIdxFromID("CHILD")).m_strParentID, "TOP");

  const std::string kids = dir / "kids.qydb";
  ASSERT_EQ(SaveWalk(WALK_CHILDREN, "TOP", kids), 0);
  EXPECT_EQ(QueryFile(kids, "SELECT note_id, note_pid, note_pos FROM notes_tree"), (Rows{{"CHILD", "", "0"}}));
  const std::string desc = dir / "desc.qydb";
  ASSERT_EQ(SaveWalk(WALK_DESCENDANTS, "TOP", desc), 0);
  EXPECT_EQ(QueryFile(desc, "SELECT note_id, note_pid FROM notes_tree ORDER BY note_pid"),
            (Rows{{"CHILD", ""}, {"GRAND", "CHILD"}}));
}

TEST_F(SqliteSave, ClonesWhoseOriginalIsNotSaved) {
  EveryFeatureDocument(doc);
  AddNote(doc, "", "CLONE2", "Child", "").m_strCloneOf = "CHILD";
  doc.RefreshCloneMaps();

  // The default host refuses: the save is cancelled.
  ASSERT_EQ(SaveWalk(WALK_NODE, "CLONE", path), 1);

  // Answer 2: every such clone becomes an original with the content.
  AnswerController two(2);
  doc.SetGuiController(&two);
  const std::string p2 = dir / "two.qydb";
  RecursiveTreeWalker list(doc, std::vector<std::string>{"CLONE", "CLONE2", "LAST"});
  fmt.reset(new FormatIO_Sqlite);
  ASSERT_EQ(fmt->Save(p2.c_str(), list), 0);
  EXPECT_EQ(two.asked, 1);
  EXPECT_EQ(QueryFile(p2, "SELECT note_id, note_clone_id, note_text FROM notes WHERE note_clone_id='' "
                          "AND note_id LIKE 'CLONE%' ORDER BY note_id"),
            (Rows{{"CLONE", "", "pic: here and there"}, {"CLONE2", "", "pic: here and there"}}));
  EXPECT_EQ(QueryFile(p2, "SELECT count(*) FROM images WHERE note_id='CLONE2'")[0][0], "2");

  // Answer 1: the first clone becomes the new original, the other one its
  // clone.
  AnswerController one(1);
  doc.SetGuiController(&one);
  doc.m_nCloneMode = 0;
  doc.m_mapCloneConversion.clear();
  const std::string p1 = dir / "one.qydb";
  list.Restart();
  fmt.reset(new FormatIO_Sqlite);
  ASSERT_EQ(fmt->Save(p1.c_str(), list), 0);
  EXPECT_EQ(QueryFile(p1, "SELECT note_id, note_clone_id FROM notes WHERE note_id LIKE 'CLONE%' ORDER BY note_id"),
            (Rows{{"CLONE", ""}, {"CLONE2", "CLONE"}}));
  doc.SetGuiController(nullptr);
}

TEST_F(SqliteSave, CancelAndRefusals) {
  EveryFeatureDocument(doc);
  ProgressInfo::SetCanceled(true);
  EXPECT_EQ(SaveWalk(WALK_ALL, nullptr, path), 1);
  EXPECT_TRUE(fmt->_strPath.empty());
  ProgressInfo::Reset();

  // An existing target that holds the same notes is replaced as a whole,
  // not written into.
  ASSERT_EQ(SaveWalk(WALK_ALL, nullptr, path), 0);
  fmt.reset();
  EXPECT_EQ(SaveWalk(WALK_ALL, nullptr, path), 0);
  fmt.reset();
  EXPECT_EQ(C("SELECT count(*) FROM notes"), "4");
  EXPECT_EQ(C("SELECT count(*) FROM notes_tree"), "4");
}

TEST_F(SqliteSave, TargetThatIsNotWritable) {
  AddNote(doc, "", "A", "a", "a");
  ASSERT_EQ(chmod(dir.Path().c_str(), 0777), 0);
  { std::ofstream(path) << "x"; }
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  const int r = InChild([&] {
    if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 99;
    RecursiveTreeWalker walker(doc);
    FormatIO_Sqlite f;
    return f.Save(path.c_str(), walker);
  });
  EXPECT_EQ(r, 11);
}

TEST_F(SqliteSave, TheDocumentsOwnLoaderCommitsInPlaceAndDoesNotMoveAway) {
  FileFormatFactory::Get().Register(FORMAT_QYDB, []() -> FormatIO_Base* { return new FormatIO_Sqlite; });
  EveryFeatureDocument(doc);
  RecursiveTreeWalker all(doc);
  ASSERT_EQ(doc.Save(path.c_str(), all), 0);
  auto* loader = dynamic_cast<FormatIO_Sqlite*>(doc.GetLoader());
  ASSERT_NE(loader, nullptr);
  ASSERT_TRUE(loader->InTransaction());

  // A change, then the model's save to the same path: a commit.
  NoteNode& top = doc.GetNodeByIdx(doc.GetIdxFromID("TOP"));
  top.m_strTitle = "Changed";
  ASSERT_TRUE(loader->OnNodeUpdate(top, NIF_TITLE, false, nullptr));
  EXPECT_EQ(C("SELECT note_title FROM notes WHERE note_id='TOP'"), "Top 'quoted' & more");
  ASSERT_EQ(doc.Save(path.c_str(), all), 0);
  EXPECT_EQ(C("SELECT note_title FROM notes WHERE note_id='TOP'"), "Changed");

  // Saved elsewhere by the loader itself, the notes would be fetched from
  // the new empty file: refused, nothing changes.
  quillery::LogCapture log;
  const std::string other = dir / "other.qydb";
  EXPECT_EQ(loader->Save(other.c_str(), all), 7);
  EXPECT_EQ(loader->_strPath, path);
  EXPECT_EQ(access(other.c_str(), F_OK), -1);

  // Shared with another process there is no transaction to commit: every
  // change is in the file already, and the save says so.
  loader->CommitTransaction();
  loader->_bInTransaction = false;
  loader->_bLoadedByAnotherProcess = true;
  top.m_strTitle = "Shared";
  ASSERT_TRUE(loader->OnNodeUpdate(top, NIF_TITLE, false, nullptr));
  EXPECT_EQ(loader->Save(path.c_str(), all), 0);
  EXPECT_EQ(C("SELECT note_title FROM notes WHERE note_id='TOP'"), "Shared");
  doc.Close();
  FileFormatFactory::Get().Register(FORMAT_QYDB, nullptr);
}

// A database saved elsewhere holds the document as it is in memory, under a
// new ID; a save in place that cannot write every change is no success.
TEST_F(SqliteSave, ASaveHoldsTheDocumentAsItIsInMemoryOrFails) {
  NoteDocument a;
  SaveAndLoad(a);
  a.SetTitle("New title");
  a.GetBookmarkList().Insert("mark three", "LAST");
  const std::string b = dir / "b.qydb";
  RecursiveTreeWalker walker(a);
  ASSERT_EQ(a.Save(b.c_str(), walker, true), 0);
  EXPECT_NE(a.GetUID(), doc.GetUID());
  EXPECT_EQ(QueryFile(b, "SELECT (SELECT opt_value FROM options WHERE opt_name='doc_title'), (SELECT opt_value "
                         "FROM options WHERE opt_name='doc_UID'), (SELECT count(*) FROM bookmarks)"),
            (Rows{{"New title", a.GetUID(), "3"}}));
  EXPECT_EQ(C("SELECT opt_value FROM options WHERE opt_name='doc_title'"), "Every 'feature'");

  // Opened by a user who may not write it, the change fails, and so must the save.
  ASSERT_EQ(chmod(dir.Path().c_str(), 0755) | chmod(path.c_str(), 0444), 0);
  EXPECT_EQ(InChild([&] {
              if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 99;
              NoteDocument d;
              if (d.Load(path.c_str()) != 0) return 90;
              NoteNode& top = d.GetNodeByIdx(d.GetIdxFromID("TOP"));
              if (d.GetDynamicLoader()->OnNodeUpdate(top, NIF_TITLE, false, nullptr)) return 91;
              RecursiveTreeWalker w(d);
              return d.Save(path.c_str(), w);
            }),
            DOC_SAVE_NOT_WRITABLE);
  FileFormatFactory::Get().Register(FORMAT_QYDB, nullptr);
}

// A trigger stored in a document never fires, and the connection may not
// write the schema directly.
TEST_F(SqliteSave, AFilesOwnTriggersNeverRun) {
  ASSERT_NO_FATAL_FAILURE(SaveEveryFeatureFile());
  const std::string notes = Cell(QueryFile(path, "SELECT count(*) FROM notes"));
  ASSERT_EQ(quillery_test::RawSqlite(path).Exec("CREATE TRIGGER wipe AFTER INSERT ON options BEGIN DELETE FROM "
                                                "notes; END; CREATE TRIGGER wipe2 AFTER UPDATE ON options BEGIN "
                                                "DELETE FROM notes; END"),
            "");
  NoteDocument a;
  ASSERT_EQ(a.Load(path.c_str()), 0);
  a.SetTitle("Changed");
  RecursiveTreeWalker walker(a);
  ASSERT_EQ(a.Save(path.c_str(), walker), 0);
  auto* loader = dynamic_cast<FormatIO_Sqlite*>(a.GetLoader());
  ASSERT_NE(loader, nullptr);
  EXPECT_LT(loader->_db.execDML("PRAGMA writable_schema=ON; DELETE FROM sqlite_master WHERE type='trigger'"), 0);
  a.Close();
  EXPECT_EQ(Cell(QueryFile(path, "SELECT opt_value FROM options WHERE opt_name='doc_title'")), "Changed");
  EXPECT_EQ(Cell(QueryFile(path, "SELECT count(*) FROM notes")), notes);
  FileFormatFactory::Get().Register(FORMAT_QYDB, nullptr);
}

// A picture stored as a zero-length blob is copied as it was read.
TEST_F(SqliteSave, AnEmptyPictureIsKept) {
  ASSERT_NO_FATAL_FAILURE(SaveEveryFeatureFile());
  quillery_test::RawSqlite(path).Exec("UPDATE images SET image_data=X'' WHERE image_id=(SELECT min(image_id) FROM images)");
  const char* kPictures = "SELECT count(*), sum(image_data IS NULL), sum(length(image_data)=0) FROM images";
  const Rows before = QueryFile(path, kPictures);
  ASSERT_EQ(before[0][2], "1");
  NoteDocument a;
  ASSERT_EQ(a.Load(path.c_str()), 0);
  const std::string copy = dir / "copy.qydb";
  RecursiveTreeWalker walker(a);
  ASSERT_EQ(a.Save(copy.c_str(), walker, false), 0);
  a.Close();
  EXPECT_EQ(QueryFile(copy, kPictures), before);
  FileFormatFactory::Get().Register(FORMAT_QYDB, nullptr);
}

// A change that could not be written to the document's file is saved by a
// save elsewhere, and stays in memory; what was never fetched comes from
// the file.
TEST_F(SqliteSave, ASaveElsewhereWritesWhatIsInMemoryAndFetchesOnlyTheRest) {
  NoteDocument a;
  SaveAndLoad(a);
  FormatIO_Sqlite* loader = dynamic_cast<FormatIO_Sqlite*>(a.GetLoader());
  ASSERT_TRUE(loader);
  loader->_db.setBusyTimeout(0);
  const int top = a.GetIdxFromID("TOP");
  NoteNode& note = a.OnNoteSelected(top, NIF_ALL, true);
  quillery_test::RawSqlite other(path);  // another program holds the file
  ASSERT_EQ(other.Exec("BEGIN IMMEDIATE; UPDATE options SET opt_value=opt_value"), "");
  note.m_strTitle = "New title";
  note.SetText("new text");
  EXPECT_FALSE(loader->OnNodeUpdate(note, NIF_TITLE | NIF_TEXT, false, nullptr));
  ASSERT_EQ(other.Exec("ROLLBACK"), "");

  const std::string b = dir / "b.qydb";
  RecursiveTreeWalker walker(a);
  ASSERT_EQ(a.Save(b.c_str(), walker, true), 0);
  EXPECT_EQ(QueryFile(b, "SELECT note_title, note_text FROM notes WHERE note_id='TOP'"),
            (Rows{{"New title", "new text"}}));
  EXPECT_EQ(a.GetNodeByIdx(top).GetText(), "new text");
  EXPECT_EQ(Cell(QueryFile(b, "SELECT count(*) FROM images WHERE note_id='CHILD'")), "2");
  FileFormatFactory::Get().Register(FORMAT_QYDB, nullptr);
}

TEST_F(SqliteSave, APasswordEnciphersTheNewFile) {
  EveryFeatureDocument(doc);
  fmt.reset(new FormatIO_Sqlite);
  fmt->_strPassword = "secret";
  RecursiveTreeWalker walker(doc);
  ASSERT_EQ(fmt->Save(path.c_str(), walker), 0);
  fmt.reset();
  // Without the key the file is no database; with it every note is there.
  EXPECT_NE(C("SELECT count(*) FROM notes").find("ERROR"), std::string::npos);
  CppSQLite3DB keyed;
  CppSQLite3Exception err;
  keyed.open(path.c_str(), &err);
  keyed.setPassword("secret", &err);
  EXPECT_EQ(keyed.execScalar("SELECT count(*) FROM notes", &err), 4);
  EXPECT_EQ(err.errorCode(), 0);
}

TEST_F(SqliteSave, AnExistingDatabaseIsReplacedOnlyByASuccessfulSave) {
  FileFormatFactory::Get().Register(FORMAT_QYDB, []() -> FormatIO_Base* { return new FormatIO_Sqlite; });
  {
    NoteDocument old;
    AddNote(old, "", "OLD1", "old one", "1");
    AddNote(old, "", "OLD2", "old two", "2");
    RecursiveTreeWalker walker(old);
    ASSERT_EQ(old.Save(path.c_str(), walker), 0);
  }
  EveryFeatureDocument(doc);
  RecursiveTreeWalker all(doc);
  ProgressInfo::SetCanceled(true);
  EXPECT_EQ(doc.Save(path.c_str(), all, false), 1);
  ProgressInfo::Reset();
  EXPECT_EQ(C("SELECT group_concat(note_id) FROM (SELECT note_id FROM notes ORDER BY note_id)"), "OLD1,OLD2");
  EXPECT_EQ(C("PRAGMA integrity_check"), "ok");
  EXPECT_NE(access((path + ".part").c_str(), F_OK), 0);

  // A successful save replaces the file: nothing of the old one stays.
  ASSERT_EQ(doc.Save(path.c_str(), all, false), 0);
  EXPECT_EQ(C("SELECT count(*) FROM notes WHERE note_id LIKE 'OLD%'"), "0");
  EXPECT_EQ(C("SELECT count(*) FROM notes"), "4");
  EXPECT_NE(access((path + ".part").c_str(), F_OK), 0);
  FileFormatFactory::Get().Register(FORMAT_QYDB, nullptr);
}

TEST_F(SqliteSave, DiskFullAtCommitFailsAndTheFileKeepsItsLastSave) {
  const int r = InChild([&] {
    NoteDocument d;
    EveryFeatureDocument(d);
    std::unique_ptr<FormatIO_Sqlite> f = SaveNew(d, path);
    if (!f || !f->InTransaction()) return 90;
    NoteNode& top = d.GetNodeByIdx(d.GetIdxFromID("TOP"));
    AttInfo big;
    big.strName = "big";
    big.strData = std::string(2 << 20, 'b');
    big.strCode = "BIG";
    top.m_lstAttachments.push_back(big);
    top.m_strTitle = "Lost";
    if (!f->OnNodeUpdate(top, NIF_ATTACHMENTS | NIF_TITLE, false, nullptr)) return 91;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return 92;
    LimitFileSize(st.st_size + 4096);
    RecursiveTreeWalker walker(d);
    return f->Save(path.c_str(), walker);
  });
  EXPECT_EQ(r, 10);
  EXPECT_EQ(C("PRAGMA integrity_check"), "ok");
  EXPECT_EQ(C("SELECT note_title FROM notes WHERE note_id='TOP'"), "Top 'quoted' & more");
  EXPECT_EQ(C("SELECT count(*) FROM attachments"), "2");
}

TEST_F(SqliteSave, DiskFullWhileBuildingANewDatabaseFails) {
  const int r = InChild([&] {
    NoteDocument d;
    EveryFeatureDocument(d);
    AddNote(d, "", "BIG", "big", std::string(1 << 20, 'q'));
    LimitFileSize(64 * 1024);
    int result = -1;
    SaveNew(d, path, &result);
    return result == 10 && quillery::TakeFailureReason() == kNoGrowth ? 0 : 20 + result;
  });
  EXPECT_EQ(r, 0);  // the cause is named, not taken for a failed step
}

// A change too large for SQLite's page cache writes pages before the
// commit; when the file cannot grow, SQLite drops the whole transaction.
// No later change reaches the file outside one, and every later save fails
// with the cause, keeping the file as last saved.
TEST_F(SqliteSave, AWriteThatFailsBeforeTheCommitFailsEveryLaterSave) {
  NoteDocument a;
  SaveAndLoad(a);
  RecursiveTreeWalker walker(a);
  ASSERT_EQ(a.Save(path.c_str(), walker, false), 0);
  const int r = InChild([&] {
    auto* f = dynamic_cast<FormatIO_Sqlite*>(a.GetLoader());
    NoteNode& top = a.GetNodeByIdx(a.GetIdxFromID("TOP"));
    NoteNode& last = a.GetNodeByIdx(a.GetIdxFromID("LAST"));
    last.m_strTitle = "Before";
    if (!f->OnNodeUpdate(last, NIF_TITLE, false, nullptr)) return 90;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return 91;
    LimitFileSize(st.st_size);
    AttInfo big;
    big.strName = "big";
    big.strData = std::string(12 << 20, 'b');
    big.strCode = "BIG";
    top.m_lstAttachments.push_back(big);
    if (f->OnNodeUpdate(top, NIF_ATTACHMENTS, false, nullptr)) return 92;
    for (int i = 0; i < 3; ++i) {
      last.m_strTitle = "After " + std::to_string(i);
      f->OnNodeUpdate(last, NIF_TITLE, false, nullptr);
      if (a.Save(path.c_str(), walker, false) != DOC_SAVE_WRITE_ERROR) return 93;
      if (quillery::TakeFailureReason() != kNoGrowth) return 94;
    }
    return 0;
  });
  EXPECT_EQ(r, 0);
  EXPECT_EQ(C("PRAGMA integrity_check"), "ok");
  EXPECT_EQ(C("SELECT note_title FROM notes WHERE note_id='LAST'"), "Last");
  EXPECT_EQ(C("SELECT count(*) FROM attachments"), "2");
  a.Close();
  FileFormatFactory::Get().Register(FORMAT_QYDB, nullptr);
}

// Every write to a database file (not to its journal) finds the disk full.
int FullDisk(bool journal, sqlite3_int64, int) { return journal ? SQLITE_OK : SQLITE_FULL; }

// The disk fills up at the commit of a save in place, a backup, a
// compaction or a password change: SQLite drops the changes since the last
// commit, which no later save to that file may report as saved, and the
// next transaction is open so that later changes are not committed one by
// one.
TEST_F(SqliteSave, ACommitThatSqliteRolledBackFailsEveryLaterSaveToTheFile) {
  AddNote(doc, "", "TOP", "Top", "text");
  RecursiveTreeWalker walker(doc);
  std::string error;
  const std::function<bool(FormatIO_Sqlite&, const std::string&)> failing[] = {
      [&](FormatIO_Sqlite& f, const std::string& p) { return f.Save(p.c_str(), walker) == DOC_SAVE_WRITE_ERROR; },
      [&](FormatIO_Sqlite& f, const std::string&) { return !f.BackupTo((dir / "copy.qydb").c_str()); },
      [&](FormatIO_Sqlite& f, const std::string&) { return !f.CompactDatabase(error); },
      [&](FormatIO_Sqlite& f, const std::string&) { return !static_cast<FormatIO_SqliteEnc&>(f).ChangePassword("b"); },
  };
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    const std::string p = dir / ("c" + std::to_string(i) + ".qydb");
    std::unique_ptr<FormatIO_Sqlite> f(i == 3 ? new FormatIO_SqliteEnc : new FormatIO_Sqlite);
    if (i == 3) f->_strPassword = "a";
    ASSERT_EQ(f->Save(p.c_str(), walker), DOC_SAVE_OK);
    doc.GetNodeByIdx(0).m_strTitle += "!";
    ASSERT_TRUE(f->OnNodeUpdate(doc.GetNodeByIdx(0), NIF_TITLE, false, nullptr));
    quillery::CodecVfsSetWriteHook(FullDisk);
    EXPECT_TRUE(failing[i](*f, p));
    quillery::CodecVfsSetWriteHook(nullptr);
    EXPECT_TRUE(f->InTransaction() && !sqlite3_get_autocommit(f->_db.handle()));
    quillery::ClearFailureReason();
    EXPECT_EQ(f->Save(p.c_str(), walker), DOC_SAVE_WRITE_ERROR);
    EXPECT_EQ(quillery::TakeFailureReason(), "writing failed: disk full");
  }
}

}  // namespace
