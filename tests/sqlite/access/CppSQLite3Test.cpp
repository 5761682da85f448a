// The SQLite access layer: error records, connection, statements, cursors,
// tables and the binary text encoding.

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <random>
#include <string>
#include <vector>

#include "common/RawSqlite.h"
#include "common/TempDir.h"
#include "sqlite/access/CppSQLite3.h"

namespace {

using quillery_test::TempDir;

class AccessLayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(db.open((dir / "t.db").c_str(), &err), SQLITE_OK);
    ASSERT_EQ(db.execDML("CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT, v REAL, b BLOB)", &err),
              0);
    ASSERT_EQ(err.errorCode(), 0);
  }
  TempDir dir;
  CppSQLite3DB db;
  CppSQLite3Exception err;
};

TEST(CppSQLite3ExceptionTest, MessageFormatNamesAndCopies) {
  CppSQLite3Exception e(SQLITE_CONSTRAINT, "UNIQUE constraint failed: t.id");
  EXPECT_STREQ(e.errorMessage(), "SQLITE_CONSTRAINT[19]: UNIQUE constraint failed: t.id");
  CppSQLite3Exception none(26, nullptr);
  EXPECT_STREQ(none.errorMessage(), "UNKNOWN_ERROR[26]: ");
  EXPECT_STREQ(CppSQLite3Exception::errorCodeAsString(266), "UNKNOWN_ERROR");
  EXPECT_STREQ(CppSQLite3Exception::errorCodeAsString(25), "SQLITE_RANGE");
  EXPECT_STREQ(CppSQLite3Exception::errorCodeAsString(101), "SQLITE_DONE");
  EXPECT_STREQ(CppSQLite3Exception::errorCodeAsString(-1), "UNKNOWN_ERROR");
  // A message allocated by SQLite is taken over and freed (the sanitizer
  // build would report a leak otherwise).
  CppSQLite3Exception owned(SQLITE_ERROR, sqlite3_mprintf("boom %d", 7), true);
  EXPECT_STREQ(owned.errorMessage(), "SQLITE_ERROR[1]: boom 7");
  CppSQLite3Exception copy(owned);
  CppSQLite3Exception assigned;
  EXPECT_EQ(assigned.errorCode(), 0);
  EXPECT_EQ(assigned.errorMessage(), nullptr);
  assigned = copy;
  assigned = assigned;
  EXPECT_STREQ(assigned.errorMessage(), owned.errorMessage());
  EXPECT_NE(assigned.errorMessage(), owned.errorMessage());
  EXPECT_EQ(assigned.errorCode(), 1);
}

TEST(CppSQLite3ClosedTest, EveryOperationReportsDatabaseNotOpen) {
  CppSQLite3DB db;
  CppSQLite3Exception err;
  EXPECT_EQ(db.execDML("SELECT 1", &err), -1);
  EXPECT_EQ(err.errorCode(), CPPSQLITE_ERROR);
  EXPECT_STREQ(err.errorMessage(), "CPPSQLITE_ERROR[1000]: Database not open");
  EXPECT_TRUE(db.execQuery("SELECT 1").eof());
  EXPECT_EQ(db.compile("SELECT 1"), nullptr);
  EXPECT_EQ(db.getTable("SELECT 1").numRows(), 0);
  EXPECT_FALSE(db.tableExists("t"));
  EXPECT_EQ(db.close(), 0);
  CppSQLite3Exception e2;
  CppSQLite3Statement st;
  st.bind(1, 5, &e2);
  EXPECT_STREQ(e2.errorMessage(), "CPPSQLITE_ERROR[1000]: Database not open");
  CppSQLite3Query q;
  CppSQLite3Exception e3;
  q.nextRow(&e3);
  EXPECT_STREQ(e3.errorMessage(), "CPPSQLITE_ERROR[1000]: Null Virtual Machine pointer");
  EXPECT_TRUE(q.eof());
  EXPECT_EQ(q.numFields(), 0);
  EXPECT_EQ(q.getIntField(0, 42), 42);
  db.trace(nullptr, nullptr);  // nothing on a closed connection
}

TEST_F(AccessLayerTest, FailuresCarrySqliteNameCodeAndMessage) {
  EXPECT_EQ(db.execDML("INSERT INTO nowhere VALUES(1)", &err), -1);
  EXPECT_STREQ(err.errorMessage(), "SQLITE_ERROR[1]: no such table: nowhere");
  // Success leaves the record as it was.
  EXPECT_EQ(db.execDML("INSERT INTO t(id, name) VALUES(1, 'a')", &err), 1);
  EXPECT_EQ(err.errorCode(), SQLITE_ERROR);

  CppSQLite3Exception e2;
  EXPECT_EQ(db.execDML("INSERT INTO t(id) VALUES(1)", &e2), -1);
  // Extended codes are on: the primary code's name is not used for them.
  EXPECT_EQ(e2.errorCode(), SQLITE_CONSTRAINT_PRIMARYKEY);
  EXPECT_STREQ(e2.errorMessage(), "UNKNOWN_ERROR[1555]: UNIQUE constraint failed: t.id");
}

TEST_F(AccessLayerTest, ScalarExistenceProbesAndEarlierErrors) {
  EXPECT_EQ(db.execScalar("SELECT count(*) FROM t", &err), 0);
  EXPECT_EQ(db.execScalar("SELECT NULL"), 0);
  CppSQLite3Exception e1;
  EXPECT_EQ(db.execScalar("SELEC nonsense", &e1), -1);
  EXPECT_STREQ(e1.errorMessage(), "CPPSQLITE_ERROR[1000]: Invalid scalar query");
  CppSQLite3Exception e2;
  EXPECT_EQ(db.execScalar("SELECT 1 WHERE 0", &e2), -1);
  EXPECT_EQ(e2.errorCode(), CPPSQLITE_ERROR);

  EXPECT_TRUE(db.tableExists("t"));
  EXPECT_FALSE(db.tableExists("u"));
  EXPECT_FALSE(db.tableExists("it's"));
  EXPECT_FALSE(db.tableExists("t' OR '1'='1"));  // never runs as SQL
  EXPECT_FALSE(db.tableExists(std::string(200, 't').c_str()));
  ASSERT_EQ(db.execDML("CREATE INDEX idx_name ON t(name)"), 0);
  EXPECT_TRUE(db.indexExists("idx_name"));
  EXPECT_FALSE(db.indexExists("idx_none"));
  EXPECT_FALSE(db.indexExists("x'"));
  EXPECT_FALSE(db.indexExists("idx_name') --"));
  EXPECT_TRUE(db.getTableColExists("t", "name"));
  EXPECT_FALSE(db.getTableColExists("t", "nope"));
  EXPECT_FALSE(db.getTableColExists("nope", "name"));

  // A query through a record that already holds an error runs nothing.
  CppSQLite3Query q = db.execQuery("INSERT INTO t(id) VALUES(9)", &e2);
  EXPECT_TRUE(q.eof());
  EXPECT_EQ(db.execScalar("SELECT count(*) FROM t"), 0);
}

TEST_F(AccessLayerTest, StatementBindsExecutesAndIsReused) {
  CppSQLite3Statement st = db.compileStatement("INSERT INTO t VALUES(?, ?, ?, ?)", &err);
  const unsigned char blob[] = {0, 1, 2, 0xff, 39};
  for (int i = 1; i <= 3; i++) {
    st.bind(1, i, &err);
    if (i == 2) {
      st.bindNull(2, &err);
    } else {
      st.bind(2, ("n" + std::to_string(i)).c_str(), &err);
    }
    st.bind(3, i * 1.5, &err);
    st.bind(4, blob, i == 3 ? 0 : static_cast<int>(sizeof(blob)), &err);
    EXPECT_EQ(st.execDML(&err), 1);
  }
  st.bind(1, 3LL << 33, &err);
  EXPECT_EQ(st.execDML(&err), 1);
  EXPECT_EQ(err.errorCode(), 0);
  EXPECT_EQ(db.lastRowId(), 3LL << 33);

  st.bind(9, 1, &err);
  EXPECT_STREQ(err.errorMessage(), "SQLITE_RANGE[25]: Error binding int param");
  CppSQLite3Exception dup;
  st.bind(1, 1, &dup);
  EXPECT_EQ(st.execDML(&dup), -1);
  EXPECT_EQ(dup.errorCode(), SQLITE_CONSTRAINT_PRIMARYKEY);

  // A statement that yields rows does not "finish" through execDML, and says so.
  CppSQLite3Statement sel = db.compileStatement("SELECT id FROM t");
  CppSQLite3Exception rowErr;
  EXPECT_EQ(sel.execDML(&rowErr), -1);
  EXPECT_NE(rowErr.errorCode(), 0);

  CppSQLite3Statement q = db.compileStatement("SELECT id, name, v, b FROM t WHERE id >= ? ORDER BY id");
  q.bind(1, 2, &err);
  CppSQLite3Query rows = q.execQuery(&err);
  ASSERT_FALSE(rows.eof());
  EXPECT_EQ(rows.getIntField(0), 2);
  EXPECT_TRUE(rows.fieldIsNull(1));
  EXPECT_STREQ(rows.getStringField(1, "dflt"), "dflt");
  EXPECT_EQ(rows.fieldValue(1), nullptr);
  EXPECT_DOUBLE_EQ(rows.getFloatFieldByName("v"), 3.0);
  int len = -1;
  const unsigned char* b = rows.getBlobFieldByName("b", len);
  ASSERT_EQ(len, 5);
  EXPECT_EQ(memcmp(b, blob, 5), 0);
  rows.nextRow(&err);
  EXPECT_STREQ(rows.getStringFieldByName("name"), "n3");
  rows.getBlobField(3, len);
  EXPECT_EQ(len, 0);
  rows.nextRow(&err);
  EXPECT_EQ(rows.getInt64Field(0), 3LL << 33);
  rows.nextRow(&err);
  EXPECT_TRUE(rows.eof());
  rows.nextRow(&err);  // stays at its end, does not start over
  EXPECT_TRUE(rows.eof());
  EXPECT_EQ(err.errorCode(), SQLITE_RANGE);  // only the earlier failure

  // The statement stays usable after its non-owning cursor is gone.
  q.reset(&err);
  q.bind(1, 1LL << 40, &err);
  CppSQLite3Query again = q.execQuery();
  EXPECT_TRUE(again.eof());
}

TEST_F(AccessLayerTest, CursorAccessorsAndOwnershipMoves) {
  ASSERT_EQ(db.execDML("INSERT INTO t VALUES(1, 'one', 1.25, NULL), (2, 'two', NULL, x'00')"), 2);
  CppSQLite3Query q = db.execQuery("SELECT id, name AS nm, v FROM t ORDER BY id", &err);
  ASSERT_EQ(q.numFields(), 3);
  EXPECT_EQ(q.fieldIndex("nm"), 1);
  EXPECT_EQ(q.fieldIndex("NM", &err), -1);
  EXPECT_STREQ(err.errorMessage(), "CPPSQLITE_ERROR[1000]: Invalid field name requested");
  EXPECT_STREQ(q.fieldName(1), "nm");
  EXPECT_STREQ(q.fieldDeclType(1), "TEXT");
  EXPECT_EQ(q.fieldDataType(2), SQLITE_FLOAT);
  CppSQLite3Exception idx;
  EXPECT_EQ(q.fieldDataType(3, &idx), -1);
  EXPECT_STREQ(idx.errorMessage(), "CPPSQLITE_ERROR[1000]: Invalid field index requested");
  EXPECT_EQ(q.fieldValue(-1), nullptr);
  EXPECT_FALSE(q.fieldIsNull(7));
  EXPECT_EQ(q.getIntField(7, 99), 0);
  EXPECT_STREQ(q.fieldValueByName("nm"), "one");

  CppSQLite3Query moved(q);
  EXPECT_TRUE(q.eof());
  EXPECT_EQ(q.numFields(), 0);
  EXPECT_EQ(moved.getIntField(0), 1);
  CppSQLite3Query target = db.execQuery("SELECT 5");
  target = moved;
  EXPECT_TRUE(moved.eof());
  target.nextRow();
  EXPECT_EQ(target.getIntFieldByName("id"), 2);
  EXPECT_EQ(target.getFloatField(2, -1.0), -1.0);
  target.finalize(&err);
  EXPECT_TRUE(target.eof());
}

TEST_F(AccessLayerTest, FailedStepEndsTheCursorAndReportsTheError) {
  ASSERT_EQ(db.execDML("INSERT INTO t(id, v) VALUES(1, 1), (2, -9223372036854775808)"), 2);
  CppSQLite3Query q = db.execQuery("SELECT abs(CAST(v AS INTEGER)) FROM t ORDER BY id", &err);
  ASSERT_FALSE(q.eof());
  q.nextRow(&err);
  EXPECT_TRUE(q.eof());
  EXPECT_EQ(err.errorCode(), SQLITE_ERROR);
  EXPECT_STREQ(err.errorMessage(), "SQLITE_ERROR[1]: integer overflow");
  EXPECT_EQ(q.numFields(), 0);
}

TEST_F(AccessLayerTest, TablesHoldWholeResults) {
  ASSERT_EQ(db.execDML("INSERT INTO t(id, name, v) VALUES(1, 'a', 2.5), (2, NULL, 7)"), 2);
  CppSQLite3Table tb = db.getTable("SELECT id, name, v FROM t ORDER BY id", &err);
  ASSERT_EQ(tb.numRows(), 2);
  ASSERT_EQ(tb.numFields(), 3);
  EXPECT_STREQ(tb.fieldName(1), "name");
  EXPECT_STREQ(tb.fieldValue(1), "a");
  EXPECT_DOUBLE_EQ(tb.getFloatFieldByName("v"), 2.5);
  tb.setRow(1, &err);
  EXPECT_TRUE(tb.fieldIsNullByName("name"));
  EXPECT_STREQ(tb.getStringField(1, "none"), "none");
  EXPECT_EQ(tb.getIntField(2), 7);
  tb.setRow(2, &err);
  EXPECT_STREQ(err.errorMessage(), "CPPSQLITE_ERROR[1000]: Invalid row index requested");
  EXPECT_EQ(tb.getIntField(0), 2);  // still on the last valid row

  CppSQLite3Table moved(tb);
  EXPECT_EQ(tb.numRows(), 0);
  CppSQLite3Exception e2;
  EXPECT_EQ(tb.fieldValue(0, &e2), nullptr);
  EXPECT_STREQ(e2.errorMessage(), "CPPSQLITE_ERROR[1000]: Invalid field index requested");
  EXPECT_EQ(moved.numRows(), 2);

  // A result without rows has nothing to read.
  CppSQLite3Table empty = db.getTable("SELECT id FROM t WHERE 0");
  EXPECT_EQ(empty.numRows(), 0);
  EXPECT_EQ(empty.fieldValue(0), nullptr);
  CppSQLite3Exception e3;
  CppSQLite3Table bad = db.getTable("SELECT * FROM nope", &e3);
  EXPECT_EQ(e3.errorCode(), SQLITE_ERROR);
  EXPECT_EQ(bad.numFields(), 0);
}

int CountStatements(unsigned mask, void* context, void*, void* x) {
  if (mask == SQLITE_TRACE_STMT) {
    auto* seen = static_cast<std::vector<std::string>*>(context);
    seen->push_back(static_cast<const char*>(x));
  }
  return 0;
}

TEST_F(AccessLayerTest, TraceSeesEveryStatement) {
  std::vector<std::string> seen;
  db.trace(CountStatements, &seen);
  db.execDML("INSERT INTO t(id) VALUES(1)");
  db.execScalar("SELECT count(*) FROM t");
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], "INSERT INTO t(id) VALUES(1)");
  db.trace(nullptr, nullptr);
  db.execDML("DELETE FROM t");
  EXPECT_EQ(seen.size(), 2u);
}

TEST(CppSQLite3BufferTest, FormatsWithSqliteConversions) {
  CppSQLite3Buffer buf;
  EXPECT_EQ(static_cast<const char*>(buf), nullptr);
  buf.format("SELECT %Q, %Q, %d", "it's", static_cast<const char*>(nullptr), 5);
  EXPECT_STREQ(buf, "SELECT 'it''s', NULL, 5");
  buf.clear();
  EXPECT_EQ(static_cast<const char*>(buf), nullptr);
}

TEST(CppSQLite3BinaryTest, EncodingEdgeCases) {
  unsigned char out[16];
  EXPECT_EQ(sqlite3_encode_binary(nullptr, 0, out), 1);
  EXPECT_STREQ(reinterpret_cast<char*>(out), "x");
  const unsigned char zero = 0;
  EXPECT_EQ(sqlite3_encode_binary(&zero, 1, out), 2);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[1], 255);
  EXPECT_EQ(out[2], 0);
  const unsigned char bad[] = {1, 1, 4, 0};
  unsigned char dec[8];
  EXPECT_EQ(sqlite3_decode_binary(bad, dec), -1);
  const unsigned char cut[] = {5, 1, 0};
  EXPECT_EQ(sqlite3_decode_binary(cut, dec), -1);
  const unsigned char emptyText[] = {0};
  EXPECT_EQ(sqlite3_decode_binary(emptyText, dec), -1);
}

TEST(CppSQLite3BinaryTest, RoundTripsWithoutNulOrApostrophe) {
  std::mt19937 rng(7);
  for (int n : {1, 2, 39, 255, 256, 1000, 70000}) {
    std::vector<unsigned char> data(n);
    for (auto& c : data) c = static_cast<unsigned char>(rng() % (n == 39 ? 3 : 256));
    CppSQLite3Binary bin;
    bin.setBinary(data.data(), n);
    const unsigned char* enc = bin.getEncoded();
    std::string text(reinterpret_cast<const char*>(enc));
    EXPECT_EQ(text.find('\''), std::string::npos);
    EXPECT_LE(text.size(), static_cast<size_t>(n) * 257 / 254 + 2);

    CppSQLite3Binary back;
    back.setEncoded(text.c_str());
    CppSQLite3Exception err;
    const unsigned char* raw = back.getBinary(&err);
    ASSERT_NE(raw, nullptr);
    ASSERT_EQ(back.getBinaryLength(), n);
    EXPECT_EQ(memcmp(raw, data.data(), n), 0);
  }
  CppSQLite3Binary bad;
  bad.setEncoded("\x05\x01\x09");
  CppSQLite3Exception err;
  EXPECT_EQ(bad.getBinary(&err), nullptr);
  EXPECT_STREQ(err.errorMessage(), "CPPSQLITE_ERROR[1000]: Cannot decode binary");
  // Lengths whose encoding size does not fit are refused, not wrapped.
  CppSQLite3Binary huge;
  CppSQLite3Exception e2;
  EXPECT_EQ(huge.allocBuffer(2140000000, &e2), nullptr);
  EXPECT_STREQ(e2.errorMessage(), "CPPSQLITE_ERROR[1000]: Cannot allocate memory");
  EXPECT_EQ(huge.allocBuffer(-5), nullptr);
}

}  // namespace

namespace {

// The first column of the row with that id through the cached statement.
std::string CachedName(CppSQLite3DB& db, int id) {
  CppSQLite3Exception e;
  CppSQLite3Statement st = db.cachedStatement("SELECT name FROM t WHERE id=?", &e);
  st.bind(1, id, &e);
  CppSQLite3Query q = st.execQuery(&e);
  return e.errorCode() == 0 && !q.eof() ? q.getStringField(0, "(null)") : "(none)";
}

}  // namespace

TEST_F(AccessLayerTest, StatementCacheLendsOneStatementPerTextAndFinalizesOnClose) {
  ASSERT_EQ(db.execDML("INSERT INTO t(id, name) VALUES(1, 'one'), (2, 'two')", &err), 2);
  {
    CppSQLite3Statement outer = db.cachedStatement("SELECT name FROM t WHERE id=?", &err);
    outer.bind(1, 1, &err);
    CppSQLite3Query q = outer.execQuery(&err);
    // While it is lent (its cursor on a row), the same text gets its own.
    EXPECT_EQ(CachedName(db, 2), "two");
    EXPECT_EQ(q.getStringField(0, ""), std::string("one"));
  }
  EXPECT_EQ(db.cachedStatementCount(), 1u);
  // Given back reset and without bindings: nothing of the last use stays.
  CppSQLite3Statement again = db.cachedStatement("SELECT name FROM t WHERE id=?", &err);
  EXPECT_TRUE(again.execQuery(&err).eof());
  again.finalize();
  EXPECT_EQ(CachedName(db, 1), "one");

  // The table rebuilt under another column order, as a format upgrade does:
  // the cached text now reads the new table.
  db.execDML("CREATE TABLE t2(name TEXT, id INTEGER PRIMARY KEY, v REAL, b BLOB);"
             "INSERT INTO t2(id, name) SELECT id, name || '!' FROM t; DROP TABLE t; ALTER TABLE t2 RENAME TO t",
             &err);
  ASSERT_EQ(err.errorCode(), 0);
  EXPECT_EQ(CachedName(db, 2), "two!");

  CppSQLite3Statement bad = db.cachedStatement("SELECT nothing FROM t", &err);
  EXPECT_NE(err.errorCode(), 0);
  EXPECT_EQ(db.cachedStatementCount(), 1u);  // a failed text is not kept
  // Closing finalizes what is cached, so SQLite closes the handle at once.
  EXPECT_EQ(db.close(), SQLITE_OK);
}

TEST_F(AccessLayerTest, StatementCacheSurvivesReKeying) {
  const std::string path = dir / "keyed.db";
  CppSQLite3DB k;
  ASSERT_EQ(k.open(path.c_str(), &err), SQLITE_OK);
  ASSERT_EQ(k.setPassword("first", &err), SQLITE_OK);
  ASSERT_EQ(k.execDML("CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT)", &err), 0);
  CppSQLite3Statement add = k.cachedStatement("INSERT INTO t(id, name) VALUES(?, ?)", &err);
  add.bind(1, 1, &err);
  add.bind(2, "before", &err);
  EXPECT_EQ(add.execDML(&err), 1);
  EXPECT_EQ(CachedName(k, 1), "before");
  // Re-keyed while a statement is lent: it is finalized when it comes back.
  ASSERT_EQ(k.changePassword("second", &err), SQLITE_OK);
  add.finalize();
  EXPECT_EQ(k.cachedStatementCount(), 0u);
  CppSQLite3Statement add2 = k.cachedStatement("INSERT INTO t(id, name) VALUES(?, ?)", &err);
  add2.bind(1, 2, &err);
  add2.bind(2, "after", &err);
  EXPECT_EQ(add2.execDML(&err), 1);
  add2.finalize();
  EXPECT_EQ(CachedName(k, 1), "before");
  EXPECT_EQ(err.errorCode(), 0);
  EXPECT_EQ(k.close(), SQLITE_OK);

  CppSQLite3DB r;
  ASSERT_EQ(r.open(path.c_str(), &err), SQLITE_OK);
  ASSERT_EQ(r.setPassword("second", &err), SQLITE_OK);
  EXPECT_EQ(CachedName(r, 2), "after");
}

// A connection that may write and commits nothing (a conversion onto the
// file that stopped early) leaves a write-ahead log that holds another
// writer's frames as it found it: its close moves none of them into the
// file, whose bytes stay as they were.
TEST(CppSQLite3LogTest, AConnectionThatCommitsNothingLeavesAnotherWritersLogAsItWas) {
  quillery_test::TempDir dir;
  const std::string path = dir / "w.db";
  ASSERT_EQ(quillery_test::RawSqlite(path).Exec("CREATE TABLE t(x); INSERT INTO t VALUES(1)"), "");
  ASSERT_TRUE(quillery_test::CommitIntoLogAndDie(path, "INSERT INTO t VALUES(2)"));
  auto bytes = [](const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  };
  const std::string file = bytes(path), log = bytes(path + "-wal");
  ASSERT_FALSE(log.empty());
  CppSQLite3DB db;
  CppSQLite3Exception err;
  ASSERT_EQ(db.open(path.c_str(), &err), SQLITE_OK);
  EXPECT_EQ(db.execScalar("SELECT count(*) FROM t", &err), 2);  // the log's row is read
  db.execDML("BEGIN EXCLUSIVE", &err);
  db.execDML("ROLLBACK", &err);
  EXPECT_EQ(err.errorCode(), 0);
  EXPECT_EQ(db.close(), SQLITE_OK);
  EXPECT_TRUE(bytes(path) == file);
  EXPECT_TRUE(bytes(path + "-wal") == log);
}
