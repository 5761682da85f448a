// Encrypted databases when things go wrong: a crash in the middle of a commit
// or a re-key leaves a hot journal that any later opener rolls back to the old
// bytes, whatever key it holds; failures part-way keep the old key; disk full.

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/TempDir.h"
#include "sqlite/codec/CodecVfs.h"
#include "sqlite/codec/EncryptedDbTestUtil.h"

namespace {

using namespace quillery_test;

// The write hook: dies (or fails the write) at the n-th page write to the
// database file itself, after the journal is complete.
int g_dbWrites = 0;
int g_dieAt = 0;
int g_failCode = 0;
int CountingHook(bool journal, sqlite3_int64, int) {
  if (journal) return 0;
  if (++g_dbWrites != g_dieAt) return 0;
  if (g_failCode) return g_failCode;
  _exit(0);
}

struct HookScope {
  HookScope(int at, int failCode) {
    g_dbWrites = 0;
    g_dieAt = at;
    g_failCode = failCode;
    quillery::CodecVfsSetWriteHook(CountingHook);
  }
  ~HookScope() { quillery::CodecVfsSetWriteHook(nullptr); }
};

// Runs fn in a child process and waits for it.
template <typename Fn>
int InChild(Fn fn) {
  pid_t pid = fork();
  if (pid == 0) {
    fn();
    _exit(1);  // reaching here means no crash happened
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Body(CppSQLite3DB& db, int id) {
  CppSQLite3Buffer sql;
  CppSQLite3Query q = db.execQuery(sql.format("SELECT body FROM t WHERE id=%d", id));
  return q.eof() ? "" : q.getStringField(0);
}

class EncryptedJournalTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    CppSQLite3DB db;
    ASSERT_TRUE(Open(db, path, "old"));
    ASSERT_TRUE(AddRows(db, 0, 300));
    original = Body(db, 7);
  }
  // The first opener after the crash holds this key (null: none).
  const char* FirstOpener() const {
    std::string p = GetParam();
    return p == "none" ? nullptr : GetParam();
  }
  // Runs step in a child that dies at the n-th database page write; the
  // crash must leave a hot journal without plaintext.
  template <typename Fn>
  void CrashAt(int n, Fn step) {
    ASSERT_EQ(InChild([&] {
                CppSQLite3DB db;
                if (!Open(db, path, "old")) _exit(2);
                HookScope hook(n, 0);
                step(db);
              }),
              0);
    ASSERT_TRUE(Exists(journal));
    EXPECT_FALSE(FileHas(journal, kMarker));
  }
  // After the first opener has met the journal, the old key reads the old rows.
  void ExpectOldContents() {
    CountWith(path, FirstOpener());
    CppSQLite3DB db;
    ASSERT_TRUE(Open(db, path, "old"));
    EXPECT_EQ(Count(db), 300);
    EXPECT_EQ(Body(db, 7), original);
    EXPECT_TRUE(IntegrityOk(db));
    EXPECT_FALSE(Exists(journal));
  }
  TempDir dir;
  std::string path = dir / "doc.qyde";
  std::string journal = path + "-journal";
  std::string original;
};

TEST_P(EncryptedJournalTest, CrashInCommitRollsBackForAnyOpener) {
  CrashAt(5, [](CppSQLite3DB& db) { db.execDML("UPDATE t SET body = 'changed ' || body"); });
  EXPECT_FALSE(FileHas(journal, "changed"));
  EXPECT_FALSE(FileHas(path, kMarker));
  // Whoever comes first rolls the journal back (a wrong key reads nothing, but
  // must not destroy the old pages).
  ExpectOldContents();
}

TEST_P(EncryptedJournalTest, CrashInReKeyKeepsTheOldKey) {
  CrashAt(9, [](CppSQLite3DB& db) { db.changePassword("new"); });
  ExpectOldContents();
  EXPECT_EQ(CountWith(path, "new"), -1);
}

TEST_P(EncryptedJournalTest, CrashWithSmallAndLargePages) {
  for (int pageSize : {512, 65536}) {
    SCOPED_TRACE(pageSize);
    path = dir / ("ps" + std::to_string(pageSize) + ".qyde");
    journal = path + "-journal";
    {
      CppSQLite3DB db;
      ASSERT_TRUE(Open(db, path, "old"));
      db.execDML(("PRAGMA page_size=" + std::to_string(pageSize)).c_str());
      ASSERT_TRUE(AddRows(db, 0, 300));
      original = Body(db, 7);
    }
    CrashAt(3, [](CppSQLite3DB& db) { db.execDML("UPDATE t SET body = 'changed ' || body"); });
    ExpectOldContents();
  }
}

INSTANTIATE_TEST_SUITE_P(FirstOpener, EncryptedJournalTest,
                         ::testing::Values("old", "new", "wrong", "none"));

class EncryptedFailureTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string path = dir / "doc.qyde";
};

TEST_F(EncryptedFailureTest, FailedReKeyReportsClosesAndKeepsTheOldKey) {
  for (const char* target : {"new", ""}) {
    SCOPED_TRACE(target);
    {
      CppSQLite3DB db;
      ASSERT_TRUE(Open(db, path, "old"));
      ASSERT_TRUE(AddRows(db, Count(db) < 0 ? 0 : Count(db), 200));
    }
    int rows = CountWith(path, "old");
    CppSQLite3DB db;
    ASSERT_TRUE(Open(db, path, "old"));
    CppSQLite3Exception err;
    {
      HookScope hook(4, SQLITE_IOERR_WRITE);
      EXPECT_NE(db.changePassword(target, &err), SQLITE_OK);
    }
    EXPECT_NE(err.errorCode(), 0);
    EXPECT_FALSE(db.isOpen());
    EXPECT_EQ(CountWith(path, "new"), -1);
    EXPECT_EQ(CountWith(path, nullptr), -1);
    CppSQLite3DB again;
    ASSERT_TRUE(Open(again, path, "old"));
    EXPECT_EQ(Count(again), rows);
    EXPECT_TRUE(IntegrityOk(again));
  }
}

TEST_F(EncryptedFailureTest, FailedEncipheringOfAPlainFileLeavesItPlain) {
  {
    CppSQLite3DB db;
    ASSERT_TRUE(Open(db, path, nullptr));
    ASSERT_TRUE(AddRows(db, 0, 200));
  }
  CppSQLite3DB db;
  ASSERT_TRUE(Open(db, path, nullptr));
  {
    HookScope hook(3, SQLITE_FULL);
    EXPECT_NE(db.changePassword("new"), SQLITE_OK);
  }
  EXPECT_EQ(CountWith(path, nullptr), 200);
  EXPECT_EQ(CountWith(path, "new"), -1);
}

TEST_F(EncryptedFailureTest, DiskFullLeavesTheDatabaseReadable) {
  {
    CppSQLite3DB db;
    ASSERT_TRUE(Open(db, path, "k"));
    ASSERT_TRUE(AddRows(db, 0, 100));
  }
  const long long size = static_cast<long long>(ReadAll(path).size());
  int status = InChild([&] {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl;
    rl.rlim_cur = rl.rlim_max = static_cast<rlim_t>(size + 8192);
    setrlimit(RLIMIT_FSIZE, &rl);
    CppSQLite3DB db;
    if (!Open(db, path, "k")) _exit(2);
    _exit(AddRows(db, 100, 400) ? 3 : 0);
  });
  EXPECT_EQ(status, 0);
  CppSQLite3DB db;
  ASSERT_TRUE(Open(db, path, "k"));
  EXPECT_EQ(Count(db), 100);
  EXPECT_TRUE(IntegrityOk(db));
  EXPECT_FALSE(FileHas(path, kMarker));
}

}  // namespace
