// The encrypted SQLite format through the document model: a document saved
// with a password comes back only with it, and the backups made when it is
// saved again are enciphered with it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include <fstream>
#include <sstream>
#include <string>

#include "base/FaultPoint.h"
#include "base/File64.h"
#include "model/FileFormatFactory.h"
#include "save/DocumentBackup.h"
#include "model/DocumentCompare.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"
#include "save/InstallSection.h"
#include "sqlite/format/FormatIO_SqliteEnc.h"
#include "sqlite/format/SqliteOpenDb.h"
#include "sqlite/format/SqliteWriteTestUtil.h"

namespace {

using quillery_test::CountRows;
using quillery_test::TempDir;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class SqliteEncDocument : public ::testing::Test {
 protected:
  void SetUp() override {
    FileFormatFactory::Get().Register(FORMAT_QYDB, []() -> FormatIO_Base* { return new FormatIO_Sqlite; });
    FileFormatFactory::Get().Register(FORMAT_QYDE, []() -> FormatIO_Base* { return new FormatIO_SqliteEnc; });
  }
  void TearDown() override {
    FileFormatFactory::Get().Register(FORMAT_QYDB, nullptr);
    FileFormatFactory::Get().Register(FORMAT_QYDE, nullptr);
  }
  // Saves doc as path with password; switchToNew attaches doc to the file.
  static int SaveAs(NoteDocument& doc, const std::string& path, const char* password, bool switchToNew,
                    int backups = 0) {
    RecursiveTreeWalker walker(doc, WALK_ALL);
    return doc.Save(path.c_str(), walker, switchToNew, backups, nullptr, password, 0, 0, true);
  }
  // Loads path and fetches every note whole.
  static int LoadAll(NoteDocument& doc, const std::string& path, const char* password, int format = 0) {
    const int r = doc.Load(path.c_str(), password, format);
    FormatIO_DynamicBase* dyn = doc.GetDynamicLoader();
    if (r != DOC_LOAD_OK || !dyn) return r;
    for (int i = 0; i < doc.GetNodeCount(); ++i) dyn->FetchNodeInfo(doc.GetNodeByIdx(i), NIF_ALL);
    return r;
  }
  static void ExpectEqual(const NoteDocument& a, const NoteDocument& b) {
    quillery::DocCompareOptions o;
    o.bLastNote = false;  // the database keeps the current note instead
    o.bHashes = false;    // computed when the notes are fetched
    std::string diff;
    EXPECT_TRUE(quillery::CompareDocuments(a, b, &diff, o)) << diff;
  }
  TempDir dir;
};

TEST_F(SqliteEncDocument, RoundTripWithTheRightPasswordOnly) {
  NoteDocument doc;
  qysqlw::EveryFeatureDocument(doc);
  const std::string path = dir / "doc.qyde";
  ASSERT_EQ(SaveAs(doc, path, "pw 1", false), DOC_SAVE_OK);
  const std::string bytes = ReadAll(path);
  EXPECT_EQ(bytes.find("SQLite format 3"), std::string::npos);
  EXPECT_EQ(bytes.find("Every 'feature'"), std::string::npos);

  NoteDocument back;
  ASSERT_EQ(LoadAll(back, path, "pw 1"), DOC_LOAD_OK);
  EXPECT_TRUE(back.IsEncrypted());
  ExpectEqual(doc, back);
  back.Close();

  for (const char* password : {"pw 2", "", static_cast<const char*>(nullptr)}) {
    NoteDocument wrong;
    EXPECT_EQ(wrong.Load(path.c_str(), password), DOC_LOAD_WRONG_PASSWORD) << (password ? password : "null");
    EXPECT_EQ(wrong.GetNodeCount(), 0);
  }
  // Read as a plain database it is no database at all.
  NoteDocument plain;
  EXPECT_EQ(plain.Load(path.c_str(), nullptr, FORMAT_QYDB), DOC_LOAD_FORMAT_ERROR);
  EXPECT_EQ(ReadAll(path), bytes);
}

TEST_F(SqliteEncDocument, BackupsOfASaveInPlaceAreEncipheredWithTheDocumentPassword) {
  NoteDocument doc;
  qysqlw::EveryFeatureDocument(doc);
  const std::string path = dir / "doc.qyde";
  ASSERT_EQ(SaveAs(doc, path, "secret", true), DOC_SAVE_OK);
  ASSERT_TRUE(doc.GetLoader() && doc.GetLoader()->GetFormat() == FORMAT_QYDE);
  doc.SetTitle("Saved again");
  ASSERT_EQ(SaveAs(doc, path, nullptr, true, 1), DOC_SAVE_OK);

  const std::string backup = quillery::BackupName(path, nullptr, 1);
  ASSERT_TRUE(File64::PathExists(backup));
  EXPECT_EQ(ReadAll(backup).find("SQLite format 3"), std::string::npos);
  EXPECT_EQ(CountRows(backup, "notes", "secret"), doc.GetNodeCount());
  EXPECT_EQ(CountRows(backup, "notes"), -1);
  NoteDocument copy;
  ASSERT_EQ(LoadAll(copy, backup, "secret", FORMAT_QYDE), DOC_LOAD_OK);
  ExpectEqual(doc, copy);
  NoteDocument wrong;
  EXPECT_EQ(wrong.Load(backup.c_str(), "other", FORMAT_QYDE), DOC_LOAD_WRONG_PASSWORD);
}

// A hard stop (a second Ctrl-C) that lands after the save has committed the
// document's own file and before its password changes: the process ends
// with 0 only when the new password is in effect, else with a status that
// says the change was not made and the old password opens the file.
TEST_F(SqliteEncDocument, AHardStopBetweenTheCommitAndTheReKeyTellsTheTruth) {
  NoteDocument doc;
  qysqlw::EveryFeatureDocument(doc);
  const std::string path = dir / "doc.qyde";
  ASSERT_EQ(SaveAs(doc, path, "old", false), DOC_SAVE_OK);
  const long long notes = doc.GetNodeCount();
  const pid_t pid = fork();
  if (pid == 0) {
    // As the host: the stop waits for an open install and ends the process
    // with 0 after one that committed.
    quillery::InstallSection::SetStopFunction([](bool committed) { _exit(committed ? 0 : 130); });
    quillery::SetFaultHook([](const char* point) {
      if (std::string(point) == "password-change" && !quillery::InstallSection::DeferStop())
        _exit(quillery::InstallSection::Committed() ? 0 : 130);
    });
    NoteDocument own;
    if (own.Load(path.c_str(), "old") != DOC_LOAD_OK) _exit(2);
    own.SetTitle("Changed");
    SaveAs(own, path, "new", true);
    _exit(3);  // the stop never came
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  const int code = WEXITSTATUS(status);
  ASSERT_TRUE(code == 0 || code == 130) << code;
  EXPECT_EQ(CountRows(path, "notes", code == 0 ? "new" : "old"), notes) << code;
}

// A program may end with an encrypted document still open in static
// storage, with a change written and not saved: the document, made before
// the codec served its first file, is destroyed after everything made
// later and rolls its database back then. The test program runs again as a
// child that does just that; it must end cleanly (under the sanitizers,
// with nothing reported), and the file holds what was saved.
TEST_F(SqliteEncDocument, AProgramMayEndWithADocumentStillOpen) {
  if (const char* open = getenv("QY_OPEN_AT_EXIT")) {
    static NoteDocument still;
    if (still.Load(open, "secret") != DOC_LOAD_OK) _exit(2);
    NoteNode& note = still.GetNodeByIdx(0);
    note.SetTitle("not saved");
    if (!still.GetDynamicLoader()->OnNodeUpdate(note, NIF_TITLE, false, nullptr)) _exit(3);
    return;
  }
  NoteDocument doc;
  qysqlw::EveryFeatureDocument(doc);
  const std::string path = dir / "doc.qyde", err = dir / "child.err";
  ASSERT_EQ(SaveAs(doc, path, "secret", false), DOC_SAVE_OK);
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open("/dev/null", O_WRONLY), fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || fd < 0 || dup2(out, 1) < 0 || dup2(fd, 2) < 0 || setenv("QY_OPEN_AT_EXIT", path.c_str(), 1) != 0)
      _exit(126);
    execl("/proc/self/exe", "child", "--gtest_filter=SqliteEncDocument.AProgramMayEndWithADocumentStillOpen",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << ReadAll(err);
  EXPECT_EQ(ReadAll(err), "");
  NoteDocument back;
  ASSERT_EQ(LoadAll(back, path, "secret"), DOC_LOAD_OK);
  ExpectEqual(doc, back);
}

}  // namespace
