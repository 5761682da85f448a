// Saving over an existing database: the content is replaced through SQLite,
// so a hot journal left by a writer that died is rolled back onto the old
// file (never replayed onto the new one), a file another process holds is
// refused, and a target of another key is replaced only without a journal.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "base/SafeSave.h"
#include "common/RawSqlite.h"
#include "model/FileFormatFactory.h"
#include "sqlite/format/SqliteWriteTestUtil.h"

using namespace qysqlw;
using quillery_test::RawSqlite;

namespace {

class SqliteReplace : public ::testing::Test {
 protected:
  void SetUp() override {
    FileFormatFactory::Get().Register(FORMAT_QYDB, []() -> FormatIO_Base* { return new FormatIO_Sqlite; });
    for (int i = 0; i < 30; ++i)
      AddNote(doc, "", "NEW" + std::to_string(100 + i), "new", std::string(3000, 'n'));
  }
  void TearDown() override { FileFormatFactory::Get().Register(FORMAT_QYDB, nullptr); }

  // A database of its own notes at path, as another program writes it.
  void OldDatabase(int notes) {
    RawSqlite db(path);
    db.Exec("CREATE TABLE filler(x); BEGIN");
    for (int i = 0; i < notes; ++i) db.Exec("INSERT INTO filler VALUES (randomblob(3000))");
    db.Exec("COMMIT");
  }
  int Save() {
    RecursiveTreeWalker walker(doc);
    return doc.Save(path.c_str(), walker, false);
  }
  bool Exists(const std::string& p) { return access(p.c_str(), F_OK) == 0; }
  std::string ReadFile(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  TempDir dir;
  std::string path = dir / "t.qydb";
  NoteDocument doc;
};

TEST_F(SqliteReplace, AHotJournalIsRolledBackOntoTheOldFileNotTheNewOne) {
  OldDatabase(200);
  // A writer that dies in the middle of a transaction whose pages already
  // reached the file: its journal is hot.
  const pid_t pid = fork();
  if (pid == 0) {
    RawSqlite db(path);
    db.Exec("PRAGMA cache_size=5; BEGIN; UPDATE filler SET x=randomblob(3100)");
    _exit(Exists(path + "-journal") ? 0 : 1);  // no rollback, no journal removal
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  ASSERT_EQ(Save(), DOC_SAVE_OK);
  EXPECT_FALSE(Exists(path + "-journal"));
  RawSqlite check(path);
  EXPECT_EQ(check.Scalar("PRAGMA integrity_check"), "ok");
  EXPECT_EQ(check.Scalar("SELECT count(*) FROM notes"), "30");
  EXPECT_EQ(check.Scalar("SELECT count(*) FROM sqlite_master WHERE name='filler'"), "0");
}

TEST_F(SqliteReplace, ATargetAnotherProcessHoldsIsNotReplaced) {
  OldDatabase(3);
  struct stat before;
  ASSERT_EQ(stat(path.c_str(), &before), 0);
  int ready[2], go[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(go), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    RawSqlite db(path);
    const bool ok = db.Exec("BEGIN IMMEDIATE; INSERT INTO filler VALUES ('held')").empty();
    char c = ok ? 'y' : 'n';
    if (write(ready[1], &c, 1) != 1 || read(go[0], &c, 1) != 1) _exit(2);
    _exit(db.Exec("COMMIT").empty() ? 0 : 1);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  quillery::ClearFailureReason();
  EXPECT_EQ(Save(), DOC_SAVE_RENAME_FAILED);
  EXPECT_EQ(quillery::TakeFailureReason(), "in use by another program");
  ASSERT_EQ(write(go[1], &c, 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // The holder's commit landed in the file that is still the target.
  struct stat after;
  ASSERT_EQ(stat(path.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(RawSqlite(path).Scalar("SELECT count(*) FROM filler WHERE x='held'"), "1");
  EXPECT_FALSE(Exists(quillery::TempFile::NameFor(path)));
  for (int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);
}

TEST_F(SqliteReplace, AFileOfAnotherKeyIsReplacedOnlyWithoutAJournal) {
  const std::string junk(4096, 'j');
  { std::ofstream(path, std::ios::binary) << junk; }
  { std::ofstream(path + "-journal", std::ios::binary) << std::string(512, 'J'); }
  EXPECT_EQ(Save(), DOC_SAVE_RENAME_FAILED);
  EXPECT_TRUE(ReadFile(path) == junk);
  unlink((path + "-journal").c_str());
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  ASSERT_EQ(Save(), DOC_SAVE_OK);
  EXPECT_EQ(RawSqlite(path).Scalar("SELECT count(*) FROM notes"), "30");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(SqliteReplace, ALeftoverTemporaryFileIsRemovedButALiveOneIsNot) {
  const std::string temp = quillery::TempFile::NameFor(path);
  int ready[2], go[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(go), 0);
  const pid_t pid = fork();
  if (pid == 0) {  // a save of the same target under way in another process
    quillery::TempFile live;
    char c = live.Create(temp) == 0 ? 'y' : 'n';
    if (write(ready[1], &c, 1) != 1 || read(go[0], &c, 1) != 1) _exit(2);
    _exit(0);  // dies without cleaning up: its file is a leftover now
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  quillery::ClearFailureReason();
  EXPECT_EQ(Save(), DOC_SAVE_RENAME_FAILED);
  EXPECT_EQ(quillery::TakeFailureReason(), "in use by another program");
  EXPECT_FALSE(Exists(path));
  ASSERT_EQ(write(go[1], &c, 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  { std::ofstream(temp + "-journal") << "stale"; }
  ASSERT_TRUE(Exists(temp));
  ASSERT_EQ(Save(), DOC_SAVE_OK);
  EXPECT_FALSE(Exists(temp));
  EXPECT_FALSE(Exists(temp + "-journal"));
  EXPECT_EQ(RawSqlite(path).Scalar("SELECT count(*) FROM notes"), "30");
  for (int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);
}

}  // namespace
