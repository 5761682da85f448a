// Encrypted databases and the files around them: temporary files, VACUUM,
// write-ahead logs, attached databases, several connections, files that
// cannot be keyed.

#include <gtest/gtest.h>

#include <dirent.h>
#include <string>
#include <vector>

#include "common/TempDir.h"
#include "sqlite/codec/CodecVfs.h"
#include "sqlite/codec/EncryptedDbTestUtil.h"
#include "sqlite/codec/SqliteCodecApi.h"

namespace {

using namespace quillery_test;

class EncryptedFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CppSQLite3DB db;
    ASSERT_TRUE(Open(db, path, "k"));
    ASSERT_TRUE(AddRows(db, 0, 200));
  }
  TempDir dir;
  std::string path = dir / "doc.qyde";
};

// The contents of this process's open files that were deleted (SQLite's
// temporary files are unlinked as soon as they are opened).
std::string DeletedOpenFiles() {
  std::string all;
  DIR* d = opendir("/proc/self/fd");
  if (!d) return all;
  while (dirent* e = readdir(d)) {
    std::string fd = std::string("/proc/self/fd/") + e->d_name;
    char target[512];
    ssize_t n = readlink(fd.c_str(), target, sizeof(target) - 1);
    if (n <= 0) continue;
    target[n] = 0;
    if (strstr(target, "(deleted)")) all += ReadAll(fd);
  }
  closedir(d);
  return all;
}

TEST_F(EncryptedFilesTest, TemporaryFilesAreEnciphered) {
  quillery::CodecVfsRegister();
  sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
  ASSERT_STREQ(vfs->zName, quillery::CodecVfsName());
  std::vector<char> mem(static_cast<size_t>(vfs->szOsFile));
  auto* file = reinterpret_cast<sqlite3_file*>(mem.data());
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_DELETEONCLOSE |
              SQLITE_OPEN_TEMP_DB | SQLITE_OPEN_EXCLUSIVE;
  ASSERT_EQ(vfs->xOpen(vfs, nullptr, file, flags, &flags), SQLITE_OK);
  std::string text = std::string(kMarker) + std::string(3000, 'y') + kMarker;
  ASSERT_EQ(file->pMethods->xWrite(file, text.data(), static_cast<int>(text.size()), 7), SQLITE_OK);
  // Any range reads back, at any offset.
  char buf[64] = {};
  ASSERT_EQ(file->pMethods->xRead(file, buf, 20, 7 + 3), SQLITE_OK);
  EXPECT_EQ(std::string(buf, 20), text.substr(3, 20));
  char tail[64] = {};
  EXPECT_EQ(file->pMethods->xRead(file, tail, 64, 7 + static_cast<sqlite3_int64>(text.size()) - 10),
            SQLITE_IOERR_SHORT_READ);
  EXPECT_EQ(std::string(tail, 10), text.substr(text.size() - 10));
  EXPECT_EQ(tail[10], 0);  // past the end: zeros, as SQLite expects
  std::string onDisk = DeletedOpenFiles();
  EXPECT_EQ(onDisk.find(kMarker), std::string::npos);
  file->pMethods->xClose(file);

  // A sort that spills to temporary files still sorts.
  CppSQLite3DB db;
  ASSERT_TRUE(Open(db, path, "k"));
  db.execDML("PRAGMA temp_store=FILE");
  db.execDML("PRAGMA cache_size=5");
  CppSQLite3Query q = db.execQuery("SELECT id FROM t ORDER BY substr(body, 50), id DESC");
  int rows = 0;
  for (; !q.eof(); q.nextRow()) rows++;
  EXPECT_EQ(rows, 200);
}

TEST_F(EncryptedFilesTest, VacuumKeepsPagesEncipheredButNotANewPageSize) {
  CppSQLite3DB db;
  ASSERT_TRUE(Open(db, path, "k"));
  CppSQLite3Exception err;
  db.execDML("DELETE FROM t WHERE id % 2 = 0", &err);
  db.execDML("VACUUM", &err);
  ASSERT_EQ(err.errorCode(), 0) << err.errorMessage();
  EXPECT_FALSE(FileHas(path, kMarker));
  EXPECT_EQ(Count(db), 100);

  // A page size change would leave pages enciphered for the old layout: refused.
  db.execDML("PRAGMA page_size=8192", &err);
  CppSQLite3Exception vac;
  db.execDML("VACUUM", &vac);
  EXPECT_NE(vac.errorCode(), 0);
  db.close();
  CppSQLite3DB again;
  ASSERT_TRUE(Open(again, path, "k"));
  EXPECT_EQ(Count(again), 100);
  EXPECT_TRUE(IntegrityOk(again));
  EXPECT_EQ(ReadAll(path).size() % 4096, 0u);
}

TEST_F(EncryptedFilesTest, WriteAheadLogIsRefused) {
  {
    CppSQLite3DB db;
    ASSERT_TRUE(Open(db, path, "k"));
    // The pragma may answer "wal"; the switch itself fails when the file
    // would be marked, and the database goes on with its rollback journal.
    db.execDML("PRAGMA journal_mode=WAL");
    EXPECT_TRUE(AddRows(db, 200, 10));
  }
  EXPECT_FALSE(Exists(path + "-wal") && FileHas(path + "-wal", kMarker));
  EXPECT_FALSE(FileHas(path, kMarker));
  CppSQLite3DB db;
  ASSERT_TRUE(Open(db, path, "k"));
  EXPECT_EQ(Count(db), 210);
  EXPECT_TRUE(IntegrityOk(db));
  CppSQLite3Query mode = db.execQuery("PRAGMA journal_mode");
  EXPECT_STREQ(mode.getStringField(0), "delete");
}

TEST_F(EncryptedFilesTest, AttachedDatabaseCanShareTheMainKey) {
  std::string aux = dir / "aux.db";
  CppSQLite3DB db;
  ASSERT_TRUE(Open(db, path, "k"));
  CppSQLite3Buffer sql;
  ASSERT_EQ(db.execDML(sql.format("ATTACH %Q AS aux", aux.c_str())), 0);
  ASSERT_EQ(sqlite3CodecAttach(db.handle(), 2, nullptr, 1), SQLITE_OK);
  CppSQLite3Exception err;
  db.execDML("CREATE TABLE aux.t(id INTEGER PRIMARY KEY, body TEXT)", &err);
  db.execDML("INSERT INTO aux.t SELECT * FROM main.t", &err);
  ASSERT_EQ(err.errorCode(), 0) << err.errorMessage();
  db.close();
  EXPECT_FALSE(FileHas(aux, kMarker));
  EXPECT_EQ(CountWith(aux, "k"), 200);
  EXPECT_EQ(CountWith(aux, nullptr), -1);
}

TEST_F(EncryptedFilesTest, TwoConnectionsSeeEachOthersCommits) {
  CppSQLite3DB a;
  CppSQLite3DB b;
  ASSERT_TRUE(Open(a, path, "k"));
  ASSERT_TRUE(Open(b, path, "k"));
  EXPECT_EQ(Count(b), 200);
  ASSERT_TRUE(AddRows(a, 200, 30));
  EXPECT_EQ(Count(b), 230);
  ASSERT_TRUE(AddRows(b, 230, 30));
  EXPECT_EQ(Count(a), 260);
  EXPECT_TRUE(IntegrityOk(a));
}

TEST_F(EncryptedFilesTest, ReKeyInsideATransactionIsRefusedAndChangesNothing) {
  CppSQLite3DB db;
  ASSERT_TRUE(Open(db, path, "k"));
  ASSERT_EQ(db.execDML("BEGIN"), 0);
  ASSERT_EQ(db.execDML("DELETE FROM t WHERE id < 50"), 50);
  EXPECT_EQ(sqlite3_rekey(db.handle(), "other", 5), SQLITE_ERROR);
  EXPECT_GE(db.execDML("COMMIT"), 0);
  db.close();
  EXPECT_EQ(CountWith(path, "k"), 150);
  EXPECT_EQ(CountWith(path, "other"), -1);
}

TEST_F(EncryptedFilesTest, KeyPragmaKeysAndRekeyPragmaIsRefused) {
  CppSQLite3DB db;
  ASSERT_TRUE(Open(db, path, nullptr));
  CppSQLite3Exception err;
  db.execDML("PRAGMA key='k'", &err);
  EXPECT_EQ(err.errorCode(), 0);
  EXPECT_EQ(Count(db), 200);
  db.execDML("PRAGMA rekey='other'", &err);
  EXPECT_STREQ(err.errorMessage(), "SQLITE_ERROR[1]: re-key with sqlite3_rekey");
  db.close();
  EXPECT_EQ(CountWith(path, "k"), 200);
}

TEST(EncryptedKeyingTest, ConnectionsThatAreNoFileCannotBeKeyed) {
  CppSQLite3DB db;
  CppSQLite3Exception err;
  db.open(":memory:", &err);
  EXPECT_EQ(sqlite3_key(db.handle(), "k", 1), SQLITE_MISUSE);
  EXPECT_EQ(sqlite3_rekey(db.handle(), "k", 1), SQLITE_MISUSE);
  // An empty key asks for nothing.
  EXPECT_EQ(sqlite3_key(db.handle(), "", 0), SQLITE_OK);
  EXPECT_EQ(db.setPassword("k", &err), SQLITE_MISUSE);
  EXPECT_FALSE(db.isOpen());
  EXPECT_EQ(err.errorCode(), SQLITE_MISUSE);
  EXPECT_STREQ(err.errorMessage(), "SQLITE_MISUSE[21]: bad parameter or other API misuse");
}

}  // namespace
