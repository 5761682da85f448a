#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <new>
#include <sstream>
#include <stdexcept>

#include "base/FaultPoint.h"
#include "save/SafeSave.h"
#include "common/NoteBuilder.h"
#include "common/TempDir.h"
#include "model/FileFormatFactory.h"
#include "model/FakeFormats.h"

namespace {

using quillery_test::AddNote;

FormatIO_Base* MakeFake() { return new FakeFileFormat; }
FormatIO_Base* MakeFakeDb() { return new FakeDbFormat; }

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// True when another "process" (a second descriptor) can take an exclusive
// lock on the file, i.e. nobody holds it.
bool Unheld(const std::string& path) {
  File64 f;
  if (!f.Open(path, F64_READ)) return false;
  const bool free = f.Lock(true);
  f.Unlock();
  return free;
}

class LoadSaveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeLog::Get().Reset();
    FakeDb::Get() = FakeDb();
    ProgressInfo::Reset();
    for (int id : {1, 2, 3, 7, 23}) FileFormatFactory::Get().Register(id, MakeFake);
    FileFormatFactory::Get().Register(15, MakeFakeDb);
  }
  void TearDown() override {
    for (int id : {1, 2, 3, 7, 15, 23}) FileFormatFactory::Get().Register(id, nullptr);
    ProgressInfo::Reset();
  }
  // Three notes: A (B), C.
  void Fill(NoteDocument& doc) {
    const std::string a = AddNote(doc, "", "", "A").m_strID;
    AddNote(doc, a, "", "B");
    AddNote(doc, "", "", "C");
  }
  int SaveAll(NoteDocument& doc, const std::string& path, bool switchToNew = true, int backups = 0) {
    RecursiveTreeWalker w(doc);
    return doc.Save(path.c_str(), w, switchToNew, backups);
  }
  quillery_test::TempDir dir;
};

}  // namespace

TEST_F(LoadSaveTest, SaveOverExistingFileGoesThroughPart) {
  NoteDocument doc;
  Fill(doc);
  const std::string path = dir / "a.qyd";
  ASSERT_EQ(SaveAll(doc, path), DOC_SAVE_OK);
  EXPECT_EQ(FakeLog::Get().savePaths.back(), path + ".part");  // a new target too
  doc.GetNodeByIdx(0).SetTitle("A2");
  ASSERT_EQ(SaveAll(doc, path), DOC_SAVE_OK);
  EXPECT_EQ(FakeLog::Get().savePaths.back(), path + ".part");
  EXPECT_FALSE(Exists(path + ".part"));
  EXPECT_NE(ReadAll(path).find("A2"), std::string::npos);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  const mode_t mask = umask(022);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0666u & ~mask);  // a new file follows the umask, a replaced one keeps it
  EXPECT_FALSE(Unheld(path));  // the document keeps it with a shared lock
  File64 reader;
  ASSERT_TRUE(reader.Open(path, F64_READ));
  EXPECT_TRUE(reader.Lock(false));
  EXPECT_EQ(doc.GetPath(), path);
  EXPECT_FALSE(doc.IsModified());

  NoteDocument again;
  ASSERT_EQ(again.Load(path.c_str()), DOC_LOAD_OK);
  ASSERT_EQ(again.GetNodeCount(), 3);
  EXPECT_EQ(again.GetNodeByIdx(0).GetTitle(), "A2");
  EXPECT_EQ(again.GetNodeByIdx(1).m_strParentID, again.GetNodeByIdx(0).m_strID);
  EXPECT_EQ(again.GetUID(), doc.GetUID());
}

TEST_F(LoadSaveTest, FailedOrCancelledSaveLeavesOldFile) {
  NoteDocument doc;
  Fill(doc);
  const std::string path = dir / "a.qyd";
  ASSERT_EQ(SaveAll(doc, path), DOC_SAVE_OK);
  const std::string before = ReadAll(path);
  doc.GetNodeByIdx(0).SetTitle("changed");

  FakeLog::Get().failSaveWith = DOC_SAVE_ERROR;
  EXPECT_EQ(SaveAll(doc, path), DOC_SAVE_ERROR);
  EXPECT_EQ(ReadAll(path), before);
  EXPECT_FALSE(Exists(path + ".part"));

  FakeLog::Get().failSaveWith = 0;
  ProgressInfo::SetCanceled(true);
  EXPECT_EQ(SaveAll(doc, path), DOC_SAVE_ABORTED);
  EXPECT_EQ(ReadAll(path), before);
  EXPECT_FALSE(Exists(path + ".part"));
  EXPECT_FALSE(Unheld(path));  // the document still holds its file
}

TEST_F(LoadSaveTest, DiskFullSaveReports10AndKeepsOldFile) {
  NoteDocument doc;
  Fill(doc);
  doc.GetNodeByIdx(2).SetText(std::string(200000, 'x').c_str());
  const std::string path = dir / "a.qyd";
  {
    NoteDocument small;
    small.NodeInsert("", -1);
    ASSERT_EQ(SaveAll(small, path), DOC_SAVE_OK);
  }
  const std::string before = ReadAll(path);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl = {50000, 50000};
    setrlimit(RLIMIT_FSIZE, &rl);
    const int r = SaveAll(doc, path);
    _exit(r == DOC_SAVE_WRITE_ERROR ? 0 : 10 + r);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadAll(path), before);
  EXPECT_FALSE(Exists(path + ".part"));
}

TEST_F(LoadSaveTest, AReplacedFileKeepsItsModeAndLinksAreWrittenThrough) {
  NoteDocument doc;
  Fill(doc);
  const std::string real = dir / "real.qyd", link = dir / "link.qyd";
  ASSERT_EQ(SaveAll(doc, real, false), DOC_SAVE_OK);
  ASSERT_EQ(chmod(real.c_str(), 0640), 0);  // not the temporary files' 0600
  ASSERT_EQ(symlink("real.qyd", link.c_str()), 0);
  // A link planted at the temporary name is never written through, nor
  // removed: the save fails, naming it.
  const std::string victim = dir / "victim";
  { std::ofstream(victim) << "untouched"; }
  ASSERT_EQ(symlink(victim.c_str(), (real + ".part").c_str()), 0);
  doc.GetNodeByIdx(0).SetTitle("through the link");
  const std::string before = ReadAll(real);
  quillery::ClearFailureReason();
  ASSERT_EQ(SaveAll(doc, link, false), DOC_SAVE_NOT_OPEN);
  EXPECT_EQ(quillery::TakeFailureReason(), "real.qyd.part is in the way (a symbolic link): move it away");
  struct stat st, target;
  EXPECT_TRUE(lstat((real + ".part").c_str(), &st) == 0 && S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadAll(victim), "untouched");
  EXPECT_EQ(ReadAll(real), before);
  ASSERT_EQ(unlink((real + ".part").c_str()), 0);
  ASSERT_EQ(SaveAll(doc, link, false), DOC_SAVE_OK);
  EXPECT_TRUE(lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode));
  EXPECT_TRUE(stat(real.c_str(), &target) == 0 && (target.st_mode & 0777) == 0640u);
  EXPECT_NE(ReadAll(real).find("through the link"), std::string::npos);
  EXPECT_FALSE(Exists(real + ".part"));
}

TEST_F(LoadSaveTest, AReadOnlyOrHeldTargetIsNotReplaced) {
  NoteDocument doc;
  Fill(doc);
  const std::string a = dir / "a.qyd";
  { std::ofstream(a) << "old"; }
  File64 holder;  // another program's open document
  ASSERT_TRUE(holder.Open(a, F64_READ) && holder.Lock(false));
  EXPECT_EQ(SaveAll(doc, a, false), DOC_SAVE_RENAME_FAILED);
  EXPECT_EQ(quillery::TakeFailureReason(), "in use by another program");
  holder.Close();
  ASSERT_EQ(chmod(a.c_str(), 0444), 0);
  ASSERT_EQ(chmod(dir.Path().c_str(), 0777), 0);  // only the file is read-only
  const pid_t pid = fork();
  if (pid == 0) {
    if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
    _exit(SaveAll(doc, a, false));
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == DOC_SAVE_NOT_WRITABLE);
  EXPECT_EQ(ReadAll(a), "old");
  EXPECT_FALSE(Exists(a + ".part"));
}

TEST_F(LoadSaveTest, SaveAsGivesNewUidAndRestoresOld) {
  NoteDocument doc;
  Fill(doc);
  const std::string a = dir / "a.qyd", b = dir / "b.qyd", c = dir / "c.qyd";
  ASSERT_EQ(SaveAll(doc, a), DOC_SAVE_OK);
  const std::string uid = doc.GetUID();
  ASSERT_FALSE(uid.empty());
  doc.m_mapDeletedNotes["gone"] = 1;

  ASSERT_EQ(SaveAll(doc, b, false), DOC_SAVE_OK);
  EXPECT_EQ(doc.GetUID(), uid);
  EXPECT_EQ(doc.m_mapDeletedNotes.count("gone"), 1u);
  EXPECT_EQ(doc.GetPath(), a);
  EXPECT_EQ(ReadAll(b).find("UID=" + uid), std::string::npos);
  EXPECT_TRUE(Unheld(b));     // a copy does not take the document's lock
  EXPECT_FALSE(Unheld(a));

  ASSERT_EQ(SaveAll(doc, c, true), DOC_SAVE_OK);
  EXPECT_NE(doc.GetUID(), uid);
  EXPECT_TRUE(doc.m_mapDeletedNotes.empty());
  EXPECT_EQ(doc.GetPath(), c);
  EXPECT_NE(ReadAll(c).find("UID=" + doc.GetUID()), std::string::npos);
  EXPECT_FALSE(Unheld(c));
  EXPECT_TRUE(Unheld(a));  // the old loader let go of the old file
}

TEST_F(LoadSaveTest, ExportOverExistingFileDoesNotMoveTheLock) {
  NoteDocument doc;
  Fill(doc);
  const std::string a = dir / "a.qyd", page = dir / "page.html";
  ASSERT_EQ(SaveAll(doc, a), DOC_SAVE_OK);
  { std::ofstream(page) << "old page"; }
  ASSERT_EQ(SaveAll(doc, page, false), DOC_SAVE_OK);
  EXPECT_NE(ReadAll(page).find("A"), std::string::npos);
  EXPECT_TRUE(Unheld(page));
  EXPECT_FALSE(Unheld(a));
  EXPECT_EQ(doc.GetPath(), a);
  // Per-format steps follow the identifier asked for (7), although the
  // object answers 2.
  EXPECT_NE(std::find(FakeLog::Get().calls.begin(), FakeLog::Get().calls.end(), "SetExport:11"),
            FakeLog::Get().calls.end());
}

TEST_F(LoadSaveTest, SaveOverOwnFileWithoutSwitchRelocksTheNewFile) {
  NoteDocument doc;
  Fill(doc);
  const std::string a = dir / "a.qyd";
  ASSERT_EQ(SaveAll(doc, a), DOC_SAVE_OK);
  struct stat st1, st2;
  ASSERT_EQ(stat(a.c_str(), &st1), 0);
  ASSERT_EQ(SaveAll(doc, a, false), DOC_SAVE_OK);
  ASSERT_EQ(stat(a.c_str(), &st2), 0);
  EXPECT_NE(st1.st_ino, st2.st_ino);  // replaced by the renamed ".part"
  EXPECT_FALSE(Unheld(a));            // and the loader holds the new file
}

TEST_F(LoadSaveTest, BackupsAreNumberedNewestFirst) {
  NoteDocument doc;
  Fill(doc);
  const std::string a = dir / "a.qyd";
  for (int i = 0; i < 4; ++i) {
    doc.GetNodeByIdx(0).SetTitle("v" + std::to_string(i));
    ASSERT_EQ(SaveAll(doc, a, true, 2), DOC_SAVE_OK);
  }
  EXPECT_NE(ReadAll(a).find("v3"), std::string::npos);
  EXPECT_NE(ReadAll(a + ".bak1").find("v2"), std::string::npos);
  EXPECT_NE(ReadAll(a + ".bak2").find("v1"), std::string::npos);
  EXPECT_FALSE(Exists(a + ".bak3"));

  const std::string bakDir = dir / "backups";
  ASSERT_EQ(doc.Save(a.c_str(), *std::make_unique<RecursiveTreeWalker>(doc), true, 1, bakDir.c_str()), DOC_SAVE_OK);
  EXPECT_NE(ReadAll(bakDir + "/a.qyd.bak1").find("v3"), std::string::npos);
}

TEST_F(LoadSaveTest, LoadOrderAndResults) {
  NoteDocument doc;
  Fill(doc);
  const std::string a = dir / "a.qyd";
  ASSERT_EQ(SaveAll(doc, a), DOC_SAVE_OK);

  EXPECT_EQ(doc.Load((dir / "missing.qyd").c_str()), DOC_LOAD_NOT_FOUND);
  EXPECT_EQ(doc.GetNodeCount(), 0);  // the open document was closed first
  EXPECT_EQ(doc.GetLoader(), nullptr);
  EXPECT_EQ(doc.GetPath(), "");

  const std::string odd = dir / "a.unknown";
  { std::ofstream(odd) << "x"; }
  EXPECT_EQ(doc.Load(odd.c_str()), DOC_LOAD_UNKNOWN_FORMAT);

  ASSERT_EQ(doc.Load(a.c_str()), DOC_LOAD_OK);
  EXPECT_EQ(FakeLog::Get().loaderDuringLoad, nullptr);  // the new loader comes in after Load
  EXPECT_NE(doc.GetLoader(), nullptr);
  EXPECT_EQ(doc.GetNodeCount(), 3);
  EXPECT_FALSE(doc.IsModified());

  // A failed merge leaves the open document's file and notes alone.
  const std::string bad = dir / "bad.qyd";
  { std::ofstream(bad) << "not\ttabbed\n"; }
  EXPECT_EQ(doc.Load(bad.c_str(), nullptr, 0, true, true, -1), DOC_LOAD_FORMAT_ERROR);
  EXPECT_EQ(doc.GetPath(), a);
  EXPECT_EQ(doc.GetNodeCount(), 3);

  // A broken file: the result is returned and path and password are cleared.
  EXPECT_EQ(doc.Load(bad.c_str(), "pw"), DOC_LOAD_FORMAT_ERROR);
  EXPECT_EQ(doc.GetPath(), "");
  EXPECT_EQ(doc.GetPassword(), "");

  if (geteuid() != 0) {
    const std::string locked = dir / "locked.qyd";
    { std::ofstream(locked) << "UID=x\n"; }
    chmod(locked.c_str(), 0);
    EXPECT_EQ(doc.Load(locked.c_str()), DOC_LOAD_PERMISSIONS);
  }
}

// A relative name, even through a link and "..", reaches the format as the
// absolute name of the file it opens, the one the document keeps: links
// and icons are resolved against that file's folder.
TEST_F(LoadSaveTest, TheFormatGetsTheAbsolutePathTheDocumentKeeps) {
  NoteDocument doc;
  Fill(doc);
  ASSERT_EQ(mkdir((dir / "d").c_str(), 0700), 0);
  ASSERT_EQ(mkdir((dir / "d/sub").c_str(), 0700), 0);
  ASSERT_EQ(symlink("d/sub", (dir / "lnk").c_str()), 0);
  ASSERT_EQ(SaveAll(doc, dir / "d/doc.qyd"), DOC_SAVE_OK);
  char* cwd = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(dir.Path().c_str()), 0);
  NoteDocument loaded;
  EXPECT_EQ(loaded.Load("lnk/../doc.qyd"), DOC_LOAD_OK);
  EXPECT_EQ(FakeLog::Get().loadPaths.back(), dir / "d/doc.qyd");
  EXPECT_EQ(loaded.GetPath(), dir / "d/doc.qyd");
  EXPECT_EQ(SaveAll(loaded, "d/copy.qyd"), DOC_SAVE_OK);
  EXPECT_EQ(FakeLog::Get().savePaths.back(), dir / "d/copy.qyd.part");  // written beside, then renamed
  EXPECT_EQ(loaded.GetPath(), dir / "d/copy.qyd");
  EXPECT_EQ(chdir(cwd), 0);
  free(cwd);
}

// Whatever a format throws ends at Load and Save: 12 for memory, 7 with the
// reason otherwise; a save leaves the old file and no temporary one.
TEST_F(LoadSaveTest, AnExceptionEndsAsAResultCode) {
  NoteDocument doc;
  Fill(doc);
  const std::string path = dir / "a.qyd";
  ASSERT_EQ(SaveAll(doc, path), DOC_SAVE_OK);
  const std::string before = ReadAll(path);
  const std::string uid = doc.GetUID();

  FakeLog::Get().fault = [] { throw std::bad_alloc(); };
  quillery::ClearFailureReason();
  EXPECT_EQ(SaveAll(doc, path), DOC_SAVE_NO_MEMORY);
  EXPECT_EQ(quillery::TakeFailureReason(), "out of memory");
  EXPECT_EQ(SaveAll(doc, dir / "new.qyd"), DOC_SAVE_NO_MEMORY);
  EXPECT_EQ(ReadAll(path), before);
  EXPECT_FALSE(Exists(path + ".part"));
  EXPECT_FALSE(Exists(dir / "new.qyd"));
  EXPECT_EQ(doc.GetUID(), uid);  // a copy's new ID went with the failed save
  EXPECT_EQ(doc.GetPath(), path);

  NoteDocument loaded;
  EXPECT_EQ(loaded.Load(path.c_str()), DOC_LOAD_NO_MEMORY);
  EXPECT_EQ(loaded.GetNodeCount(), 0);
  EXPECT_EQ(loaded.GetPath(), "");

  FakeLog::Get().fault = [] { throw std::runtime_error("broken"); };
  EXPECT_EQ(loaded.Load(path.c_str()), DOC_LOAD_NOT_OPEN);
  EXPECT_EQ(quillery::TakeFailureReason(), "unexpected failure: broken");
  EXPECT_EQ(SaveAll(doc, path), DOC_SAVE_ERROR);
  EXPECT_EQ(ReadAll(path), before);
}

TEST_F(LoadSaveTest, ReadOnlyFlagBeforeNotesDoesNotStopThem) {
  NoteDocument doc;
  Fill(doc);
  doc.SetReadOnly(true);
  const std::string a = dir / "a.qyd";
  ASSERT_EQ(SaveAll(doc, a), DOC_SAVE_OK);
  NoteDocument again;
  ASSERT_EQ(again.Load(a.c_str()), DOC_LOAD_OK);
  EXPECT_TRUE(again.IsReadOnly());
  EXPECT_EQ(again.GetNodeCount(), 3);
}

TEST_F(LoadSaveTest, FormatStepsFollowTheAskedIdentifier) {
  NoteDocument doc;
  Fill(doc);
  const std::string a = dir / "a.qyd";
  ASSERT_EQ(SaveAll(doc, a), DOC_SAVE_OK);
  FakeLog::Get().calls.clear();
  ASSERT_EQ(doc.Load(a.c_str(), nullptr, 7), DOC_LOAD_OK);
  ASSERT_EQ(doc.Load(a.c_str(), nullptr, 1), DOC_LOAD_OK);
  EXPECT_EQ(FakeLog::Get().calls, (std::vector<std::string>{"SetContentsOnly:1", "SetRawText:1"}));
}

TEST_F(LoadSaveTest, EncryptedFormatsGetThePassword) {
  FakeLog::Get().encrypted = true;
  FakeLog::Get().formatId = 3;
  NoteDocument doc;
  Fill(doc);
  const std::string e = dir / "a.qye";
  EXPECT_EQ(SaveAll(doc, e), DOC_SAVE_ABORTED);  // the default host refuses the prompt
  EXPECT_FALSE(Exists(e));
  RecursiveTreeWalker w(doc);
  ASSERT_EQ(doc.Save(e.c_str(), w, true, 0, nullptr, "secret"), DOC_SAVE_OK);
  EXPECT_EQ(doc.GetPassword(), "secret");
  EXPECT_TRUE(doc.IsEncrypted());
  FakeLog::Get().calls.clear();
  NoteDocument again;
  ASSERT_EQ(again.Load(e.c_str(), "secret"), DOC_LOAD_OK);
  EXPECT_EQ(again.GetPassword(), "secret");
  EXPECT_EQ(FakeLog::Get().calls, (std::vector<std::string>{"SetPassword:secret"}));
}

TEST_F(LoadSaveTest, MergingADynamicFileKeepsNoteContents) {
  NoteDocument doc;
  Fill(doc);
  const std::string db = dir / "m.qydb";
  { std::ofstream(db) << "db"; }
  FakeDb::Get().ids = {"n1", "n2"};
  FakeDb::Get().texts = {{"n1", "first"}, {"n2", "second"}};
  ASSERT_EQ(doc.Load(db.c_str(), nullptr, 0, true, true, 0), DOC_LOAD_OK);
  ASSERT_EQ(doc.GetNodeCount(), 5);
  EXPECT_EQ(doc.GetLoader(), nullptr);  // the merged format object is gone
  const int n1 = doc.GetIdxFromID("n1");
  ASSERT_GE(n1, 0);
  EXPECT_EQ(doc.GetNodeByIdx(n1).m_strParentID, doc.GetNodeByIdx(0).m_strID);
  EXPECT_EQ(doc.GetNodeByIdx(n1).GetText(), "first");
  EXPECT_EQ(doc.GetNodeByIdx(doc.GetIdxFromID("n2")).GetText(), "second");
}

TEST_F(LoadSaveTest, SavingTheOpenDatabaseCommitsInPlace) {
  const std::string db = dir / "d.qydb";
  { std::ofstream(db) << "db"; }
  FakeDb::Get().ids = {"n1"};
  FakeDb::Get().texts = {{"n1", "text"}};
  NoteDocument doc;
  ASSERT_EQ(doc.Load(db.c_str()), DOC_LOAD_OK);
  struct stat st1, st2;
  ASSERT_EQ(stat(db.c_str(), &st1), 0);
  EXPECT_EQ(doc.OnNoteSelected(0, NIF_ALL, false).GetText(), "text");
  const int added = doc.NodeInsert("", -1);  // a dynamic loader is told
  EXPECT_EQ(FakeDb::Get().ids.back(), doc.GetNodeByIdx(added).m_strID);

  RecursiveTreeWalker w(doc);
  ASSERT_EQ(doc.Save((dir / "./d.qydb").c_str(), w, true, 2), DOC_SAVE_OK);
  ASSERT_EQ(stat(db.c_str(), &st2), 0);
  EXPECT_EQ(st1.st_ino, st2.st_ino);  // never deleted: the live database is the target
  EXPECT_EQ(FakeDb::Get().lastSaver, doc.GetLoader());
  EXPECT_EQ(ReadAll(db), "db");
  EXPECT_FALSE(Exists(db + ".part"));
}

TEST_F(LoadSaveTest, LeavingADatabaseForAFileKeepsNoteContents) {
  const std::string db = dir / "d.qydb";
  { std::ofstream(db) << "db"; }
  FakeDb::Get().ids = {"n1", "n2"};
  FakeDb::Get().texts = {{"n1", "one"}, {"n2", "two"}};
  NoteDocument doc;
  ASSERT_EQ(doc.Load(db.c_str()), DOC_LOAD_OK);
  EXPECT_EQ(doc.GetNodeByIdx(0).GetText(), "");  // not fetched yet
  const std::string a = dir / "a.qyd";
  ASSERT_EQ(SaveAll(doc, a, true), DOC_SAVE_OK);
  EXPECT_FALSE(doc.GetLoader()->IsDynamic());
  EXPECT_EQ(doc.GetNodeByIdx(0).GetText(), "one");
  EXPECT_EQ(doc.GetNodeByIdx(1).GetText(), "two");
}

// Every byte goes to the file the save created: a temporary name swapped
// for a link meanwhile gets nothing written through it and is never
// installed, over an old target or as a new one.
TEST_F(LoadSaveTest, ASwappedTemporaryNameIsNeitherWrittenNorInstalled) {
  NoteDocument doc;
  Fill(doc);
  const std::string path = dir / "a.qyd", fresh = dir / "new.qyd", victim = dir / "victim";
  ASSERT_EQ(SaveAll(doc, path, false), DOC_SAVE_OK);
  const std::string before = ReadAll(path);
  { std::ofstream(victim) << "victim"; }
  doc.GetNodeByIdx(0).SetTitle("changed");
  FakeLog::Get().plantLinkTo = victim;
  EXPECT_EQ(SaveAll(doc, path, false), DOC_SAVE_RENAME_FAILED);
  EXPECT_EQ(SaveAll(doc, fresh, false), DOC_SAVE_RENAME_FAILED);
  EXPECT_EQ(ReadAll(victim), "victim");
  EXPECT_EQ(ReadAll(path), before);
  EXPECT_FALSE(Exists(fresh));
}

// The file a save replaced is removed from the temporary name only while
// that name is still it: a user's file put there in between (mode 0644,
// which no save takes for a leftover) stays, and the save is done.
std::string g_usersPart;
void PutAUsersFileAtThePart(const char* point) {
  if (std::string(point) != "replaced-file") return;
  unlink(g_usersPart.c_str());
  std::ofstream(g_usersPart) << "mine";
  chmod(g_usersPart.c_str(), 0644);
}

TEST_F(LoadSaveTest, OnlyTheReplacedFileIsRemovedFromTheTemporaryName) {
  NoteDocument doc;
  Fill(doc);
  const std::string path = dir / "a.qyd";
  { std::ofstream(path) << "old"; }
  g_usersPart = path + ".part";
  quillery::SetFaultHook(PutAUsersFileAtThePart);
  const int result = SaveAll(doc, path, false);
  quillery::SetFaultHook(nullptr);
  EXPECT_EQ(result, DOC_SAVE_OK);
  EXPECT_EQ(ReadAll(path + ".part"), "mine");
  EXPECT_NE(ReadAll(path).find("\tA\t"), std::string::npos) << ReadAll(path);
}

// The free space asked for is no more than what is written: the size of
// the document's current file (larger than the whole disk here) does not
// refuse a save.
TEST_F(LoadSaveTest, TheSizeOfTheOldFileDoesNotRefuseASave) {
  NoteDocument doc;
  Fill(doc);
  FakeLog::Get().fileSize = File64::DriveFreeSize(dir.Path()) + (int64_t{1} << 40);
  EXPECT_EQ(SaveAll(doc, dir / "a.qyd"), DOC_SAVE_OK);
  EXPECT_EQ(SaveAll(doc, dir / "a.qyd"), DOC_SAVE_OK);
}

// A database saved in place with backups makes them (through its own copy,
// into a backup folder made for them), or the save fails.
TEST_F(LoadSaveTest, ADatabaseSaveMakesItsBackupsOrFails) {
  const std::string db = dir / "d.qydb", backups = dir / "new/sub", blocked = dir / "file/sub";
  { std::ofstream(db) << "db"; }
  { std::ofstream(dir / "file") << "no folder"; }
  NoteDocument doc;
  ASSERT_EQ(doc.Load(db.c_str()), DOC_LOAD_OK);
  RecursiveTreeWalker w(doc);
  ASSERT_EQ(doc.Save(db.c_str(), w, true, 2, backups.c_str()), DOC_SAVE_OK);
  EXPECT_EQ(ReadAll(backups + "/d.qydb.bak1"), "db backup");
  EXPECT_EQ(doc.Save(db.c_str(), w, true, 2, blocked.c_str()), DOC_SAVE_ERROR);
  EXPECT_NE(quillery::TakeFailureReason().find("backup"), std::string::npos);
}
