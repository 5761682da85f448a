// Encrypted databases end to end: what reaches the disk, wrong keys, re-keying,
// page sizes, journals after a crash, temporary files.

#include <gtest/gtest.h>

#include <string>

#include "common/TempDir.h"
#include "sqlite/codec/EncryptedDbTestUtil.h"
#include "sqlite/codec/SqliteCodecApi.h"

namespace {

using namespace quillery_test;

class EncryptedDbTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string path = dir / "doc.qyde";
};

TEST_F(EncryptedDbTest, NoPlaintextOnDiskAndPagesFollowThePageCipher) {
  {
    CppSQLite3DB db;
    ASSERT_TRUE(Open(db, path, "s3cret"));
    ASSERT_TRUE(AddRows(db, 0, 300));
  }
  std::string bytes = ReadAll(path);
  ASSERT_GT(bytes.size(), 40000u);
  EXPECT_EQ(bytes.size() % 4096, 0u);
  EXPECT_EQ(bytes.find(kMarker), std::string::npos);
  EXPECT_EQ(bytes.find("SQLite format 3"), std::string::npos);
  EXPECT_EQ(bytes.find("CREATE TABLE"), std::string::npos);
  EXPECT_FALSE(Exists(path + "-journal"));

  // Deciphering page by page with the page cipher gives an ordinary database.
  std::string plain = DecipherFile(path, "s3cret", 4096, dir / "plain.db");
  EXPECT_EQ(plain.compare(0, 16, std::string("SQLite format 3\0", 16)), 0);
  EXPECT_EQ(CountWith(dir / "plain.db", nullptr), 300);

  EXPECT_EQ(CountWith(path, "s3cret"), 300);
}

TEST_F(EncryptedDbTest, WrongOrMissingKeyIsNotADatabase) {
  {
    CppSQLite3DB db;
    ASSERT_TRUE(Open(db, path, "right"));
    ASSERT_TRUE(AddRows(db, 0, 20));
  }
  std::string before = ReadAll(path);
  CppSQLite3Exception err;
  EXPECT_EQ(CountWith(path, "wrong", &err), -1);
  EXPECT_EQ(err.errorCode(), SQLITE_NOTADB);
  EXPECT_STREQ(err.errorMessage(), "UNKNOWN_ERROR[26]: file is not a database");
  CppSQLite3Exception plainErr;
  EXPECT_EQ(CountWith(path, nullptr, &plainErr), -1);
  EXPECT_EQ(plainErr.errorCode(), SQLITE_NOTADB);
  // Nothing was touched by the failed opens.
  EXPECT_EQ(ReadAll(path), before);
  EXPECT_EQ(CountWith(path, "right"), 20);

  // A plain database opened with a key is not readable either.
  std::string plainPath = dir / "plain.db";
  {
    CppSQLite3DB db;
    ASSERT_TRUE(Open(db, plainPath, nullptr));
    ASSERT_TRUE(AddRows(db, 0, 3));
  }
  EXPECT_EQ(CountWith(plainPath, "key"), -1);
  EXPECT_EQ(CountWith(plainPath, nullptr), 3);
}

TEST_F(EncryptedDbTest, ReKeyEncipherChangeAndRemove) {
  {
    CppSQLite3DB db;
    ASSERT_TRUE(Open(db, path, nullptr));
    ASSERT_TRUE(AddRows(db, 0, 200));
    ASSERT_TRUE(FileHas(path, kMarker));
    CppSQLite3Exception err;
    EXPECT_EQ(db.changePassword("first", &err), SQLITE_OK) << err.errorMessage();
    EXPECT_TRUE(db.isOpen());
    EXPECT_EQ(Count(db), 200);  // the open connection reads on with the new key
    ASSERT_TRUE(AddRows(db, 200, 10));
  }
  EXPECT_FALSE(FileHas(path, kMarker));
  EXPECT_EQ(CountWith(path, nullptr), -1);
  EXPECT_EQ(CountWith(path, "first"), 210);

  {
    CppSQLite3DB db;
    ASSERT_TRUE(Open(db, path, "first"));
    CppSQLite3Exception err;
    EXPECT_EQ(db.changePassword("second", &err), SQLITE_OK) << err.errorMessage();
    ASSERT_TRUE(AddRows(db, 210, 5));
  }
  EXPECT_EQ(CountWith(path, "first"), -1);
  EXPECT_EQ(CountWith(path, "second"), 215);
  EXPECT_FALSE(FileHas(path, kMarker));

  {
    CppSQLite3DB db;
    ASSERT_TRUE(Open(db, path, "second"));
    CppSQLite3Exception err;
    EXPECT_EQ(db.changePassword("", &err), SQLITE_OK) << err.errorMessage();
    EXPECT_EQ(Count(db), 215);
    void* key = &err;
    int nKey = -1;
    sqlite3CodecGetKey(db.handle(), 0, &key, &nKey);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(nKey, 0);
  }
  EXPECT_TRUE(FileHas(path, kMarker));
  EXPECT_EQ(ReadAll(path).compare(0, 15, "SQLite format 3"), 0);
  CppSQLite3DB db;
  ASSERT_TRUE(Open(db, path, nullptr));
  EXPECT_EQ(Count(db), 215);
  EXPECT_TRUE(IntegrityOk(db));
  // Removing a key that is not there does nothing.
  EXPECT_EQ(sqlite3_rekey(db.handle(), nullptr, 0), SQLITE_OK);
}

TEST_F(EncryptedDbTest, WrittenAndReopenedManyTimes) {
  for (int round = 0; round < 25; round++) {
    CppSQLite3DB db;
    ASSERT_TRUE(Open(db, path, "cycle"));
    EXPECT_EQ(round == 0 ? 0 : Count(db), round * 20);
    ASSERT_TRUE(AddRows(db, round * 20, 20));
    CppSQLite3Exception err;
    // Deletions and updates too, so that pages are freed and reused.
    db.execDML("UPDATE t SET body = body || 'u' WHERE id % 3 = 0", &err);
    db.execDML("DELETE FROM t WHERE id = -1", &err);
    ASSERT_EQ(err.errorCode(), 0) << err.errorMessage();
  }
  CppSQLite3DB db;
  ASSERT_TRUE(Open(db, path, "cycle"));
  EXPECT_EQ(Count(db), 500);
  EXPECT_TRUE(IntegrityOk(db));
  EXPECT_FALSE(FileHas(path, kMarker));
}

TEST_F(EncryptedDbTest, OtherPageSizes) {
  for (int pageSize : {512, 1024, 8192, 65536}) {
    SCOPED_TRACE(pageSize);
    std::string p = dir / ("ps" + std::to_string(pageSize) + ".db");
    {
      CppSQLite3DB db;
      ASSERT_TRUE(Open(db, p, "pages"));
      db.execDML(("PRAGMA page_size=" + std::to_string(pageSize)).c_str());
      ASSERT_TRUE(AddRows(db, 0, 150));
    }
    std::string bytes = ReadAll(p);
    EXPECT_EQ(bytes.size() % pageSize, 0u);
    EXPECT_EQ(bytes.find(kMarker), std::string::npos);
    std::string plain = DecipherFile(p, "pages", pageSize, p + ".plain");
    EXPECT_EQ(((unsigned char)plain[16] << 8) | ((unsigned char)plain[17] << 16), pageSize);
    CppSQLite3DB db;
    ASSERT_TRUE(Open(db, p, "pages"));
    ASSERT_TRUE(AddRows(db, 150, 50));
    EXPECT_EQ(Count(db), 200);
    EXPECT_TRUE(IntegrityOk(db));
  }
}

}  // namespace
