// The encrypted SQLite format: password checks, encrypted files and copies,
// plain dumps and re-keying of the open database.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "base/File64.h"
#include "common/TempDir.h"
#include "model/NoteDocument.h"
#include "save/SafeSave.h"
#include "sqlite/format/FormatIO_SqliteEnc.h"
#include "sqlite/format/SqliteOpenDb.h"

using namespace quillery_test;

namespace {

const char kPassword[] = "correct horse";

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// True when the file shows nothing of its contents: no SQLite header and
// none of the note titles AddNotes writes.
bool LooksEnciphered(const std::string& path) {
  const std::string bytes = ReadAll(path);
  return !bytes.empty() && bytes.find("SQLite format 3") == std::string::npos && bytes.find("Tn1") == std::string::npos &&
         bytes.find("CREATE TABLE") == std::string::npos;
}

// An encrypted database of n notes, committed and closed.
void MakeEncrypted(const std::string& path, int n, const char* password, int textSize = 100) {
  FormatIO_SqliteEnc fmt;
  fmt.SetPassword(password);
  ASSERT_TRUE(MakeCommittedDatabase(fmt, path, n, textSize));
}

class SqliteEncTest : public ::testing::Test {
 protected:
  TempDir dir;
};

TEST_F(SqliteEncTest, WithoutAPasswordLoadFailsBeforeTouchingTheFile) {
  FormatIO_SqliteEnc fmt;
  EXPECT_EQ(fmt.GetFormat(), FORMAT_QYDE);
  EXPECT_TRUE(fmt.IsEncrypted());
  EXPECT_TRUE(fmt.IsDynamic());
  NoteDocument doc;
  const std::string missing = dir / "new.qyde";
  EXPECT_EQ(fmt.Load(missing.c_str(), doc, -1), DOC_LOAD_WRONG_PASSWORD);
  EXPECT_FALSE(File64::PathExists(missing));

  const std::string db = dir / "doc.qyde";
  MakeEncrypted(db, 3, kPassword);
  const std::string before = ReadAll(db);
  fmt.SetPassword(nullptr);
  EXPECT_EQ(fmt.Load(db.c_str(), doc, -1), DOC_LOAD_WRONG_PASSWORD);
  EXPECT_EQ(ReadAll(db), before);
  EXPECT_EQ(doc.GetNodeCount(), 0);
}

TEST_F(SqliteEncTest, BackupIsEncipheredWithTheDocumentPassword) {
  const std::string db = dir / "doc.qyde", copy = dir / "copy.qyde";
  FormatIO_SqliteEnc fmt;
  fmt.SetPassword(kPassword);
  ASSERT_TRUE(OpenLikeLoad(fmt, db));
  ASSERT_TRUE(AddNotes(fmt, "n", 60));  // still uncommitted

  ASSERT_TRUE(fmt.BackupTo(copy.c_str()));
  EXPECT_TRUE(ConnectionInTransaction(fmt));
  EXPECT_TRUE(LooksEnciphered(copy));
  EXPECT_FALSE(File64::PathExists(copy + "-journal"));
  EXPECT_EQ(CountRows(copy, "notes", kPassword), 60);
  EXPECT_TRUE(IntegrityOk(copy, kPassword));
  EXPECT_EQ(CountRows(copy, "notes"), -1);
  EXPECT_EQ(CountRows(copy, "notes", "other"), -1);

  // The plain format's copy of the same open database has plain pages.
  const std::string plain = dir / "plain.qydb";
  ASSERT_TRUE(fmt.FormatIO_Sqlite::BackupTo(plain.c_str()));
  EXPECT_EQ(CountRows(plain, "notes"), 60);
  fmt.Close();
  EXPECT_EQ(CountRows(db, "notes", kPassword), 60);
}

TEST_F(SqliteEncTest, DumpFileWritesAPlainCopyOnlyWithTheRightPassword) {
  const std::string db = dir / "doc.qyde", dump = dir / "dump.qydb";
  MakeEncrypted(db, 25, kPassword);
  FormatIO_SqliteEnc fmt;
  EXPECT_FALSE(fmt.DumpFile(db.c_str(), dump.c_str(), "wrong"));
  EXPECT_FALSE(File64::PathExists(dump));
  EXPECT_FALSE(fmt.DumpFile(db.c_str(), dump.c_str(), nullptr));
  EXPECT_FALSE(File64::PathExists(dump));

  ASSERT_TRUE(fmt.DumpFile(db.c_str(), dump.c_str(), kPassword));
  EXPECT_FALSE(fmt._db.isOpen());
  EXPECT_EQ(CountRows(dump, "notes"), 25);
  EXPECT_TRUE(IntegrityOk(dump));
  EXPECT_EQ(CountRows(db, "notes", kPassword), 25);
}

// A changed byte of the first page's header makes a file SQLite will not
// read (an unknown schema format): its pages cannot be checked, so none is
// copied, and the dump counts as a read that failed.
TEST_F(SqliteEncTest, DumpFileCopiesNothingWhoseCheckCannotRun) {
  const std::string db = dir / "doc.qyde", dump = dir / "dump.qydb";
  MakeEncrypted(db, 25, kPassword);
  const std::string sound = ReadAll(db);
  for (size_t offset : {37, 44}) {
    SCOPED_TRACE(offset);
    std::string bytes = sound;
    bytes[offset] = 44;
    std::ofstream(db, std::ios::binary | std::ios::trunc) << bytes;
    const unsigned long failures = quillery::ReadFailures();
    FormatIO_SqliteEnc fmt;
    EXPECT_FALSE(fmt.DumpFile(db.c_str(), dump.c_str(), kPassword));
    EXPECT_EQ(quillery::ReadFailures(), failures + 1);
    EXPECT_FALSE(File64::PathExists(dump));
    EXPECT_FALSE(fmt._db.isOpen());
  }
}

TEST_F(SqliteEncTest, ChangePasswordReKeysTheOpenDatabase) {
  const std::string db = dir / "doc.qyde";
  FormatIO_SqliteEnc fmt;
  fmt.SetPassword(kPassword);
  ASSERT_TRUE(OpenLikeLoad(fmt, db));
  ASSERT_TRUE(AddNotes(fmt, "n", 30));

  // Refused: the format could not open a file without a password.
  EXPECT_FALSE(fmt.ChangePassword(""));
  EXPECT_FALSE(fmt.ChangePassword(nullptr));
  EXPECT_EQ(fmt._strPassword, kPassword);

  ASSERT_TRUE(fmt.ChangePassword("new secret"));
  EXPECT_EQ(fmt._strPassword, "new secret");
  EXPECT_TRUE(ConnectionInTransaction(fmt));
  ASSERT_TRUE(AddNotes(fmt, "m", 5));
  // Later copies take the new password too.
  const std::string copy = dir / "copy.qyde";
  ASSERT_TRUE(fmt.BackupTo(copy.c_str()));
  EXPECT_EQ(CountRows(copy, "notes", "new secret"), 35);
  fmt.Close();

  EXPECT_EQ(CountRows(db, "notes", "new secret"), 35);
  EXPECT_TRUE(IntegrityOk(db, "new secret"));
  EXPECT_EQ(CountRows(db, "notes", kPassword), -1);
  EXPECT_TRUE(LooksEnciphered(db));

  FormatIO_SqliteEnc closed;
  closed.SetPassword(kPassword);
  EXPECT_FALSE(closed.ChangePassword("x"));
  EXPECT_EQ(closed._strPassword, kPassword);
}

TEST_F(SqliteEncTest, NoReKeyingWhileAnotherProcessHoldsTheFile) {
  const std::string db = dir / "doc.qyde";
  MakeEncrypted(db, 4, kPassword);
  FormatIO_SqliteEnc fmt;
  fmt.SetPassword(kPassword);
  ASSERT_TRUE(OpenLikeSharedLoad(fmt, db));
  EXPECT_FALSE(fmt.ChangePassword("new"));
  EXPECT_EQ(fmt._strPassword, kPassword);
  fmt.Close();
  EXPECT_EQ(CountRows(db, "notes", kPassword), 4);
}

TEST_F(SqliteEncTest, CompactionKeepsTheFileEnciphered) {
  const std::string db = dir / "doc.qyde";
  FormatIO_SqliteEnc fmt;
  fmt.SetPassword(kPassword);
  ASSERT_TRUE(OpenLikeLoad(fmt, db));
  ASSERT_TRUE(AddNotes(fmt, "n", 200, 2000));
  ASSERT_TRUE(Exec(fmt, "DELETE FROM notes WHERE note_id <> 'n1'"));
  std::string error;
  ASSERT_TRUE(fmt.CompactDatabase(error)) << error;
  EXPECT_EQ(fmt.GetFileSize(), File64::FileSize(db));
  EXPECT_LT(fmt.GetFileSize(), 200000);  // from over 400 KB
  fmt.Close();
  EXPECT_TRUE(LooksEnciphered(db));
  EXPECT_EQ(CountRows(db, "notes", kPassword), 1);
  EXPECT_TRUE(IntegrityOk(db, kPassword));
}

TEST_F(SqliteEncTest, FailedReKeyingKeepsTheOldKeyAndTheConnection) {
  const std::string db = dir / "doc.qyde";
  MakeEncrypted(db, 100, kPassword, 2000);
  const int64_t size = File64::FileSize(db);
  ASSERT_GT(size, 200000);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    FormatIO_SqliteEnc fmt;
    fmt.SetPassword(kPassword);
    if (!OpenLikeLoad(fmt, db)) _exit(2);
    // The journal of the re-keying cannot grow to the database's size.
    struct rlimit rl = {static_cast<rlim_t>(size / 2), static_cast<rlim_t>(size / 2)};
    setrlimit(RLIMIT_FSIZE, &rl);
    if (fmt.ChangePassword("new secret")) _exit(3);
    if (fmt._strPassword != kPassword || !fmt._db.isOpen()) _exit(4);
    CppSQLite3Exception e;
    if (fmt._db.execScalar("SELECT count(*) FROM notes", &e) != 100) _exit(5);
    _exit(ConnectionInTransaction(fmt) ? 0 : 6);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(CountRows(db, "notes", kPassword), 100);
  EXPECT_TRUE(IntegrityOk(db, kPassword));
}

}  // namespace
