// Where the SQLite format's parts meet the model and each other: what one
// part writes must be what another reads or looks up, whatever else the
// document did in between.

#include <gtest/gtest.h>

#include <string>

#include "formats/FileFormatFactory.h"
#include "model/RecursiveTreeWalker.h"
#include "sqlite/SqliteSchema.h"
#include "sqlite/SqliteWriteTestUtil.h"

using namespace qysqlw;

namespace {

class SqliteSeam : public ::testing::Test {
 protected:
  void SetUp() override {
    FormatIO_Base::SetEnableSharing(true);
    FileFormatFactory::Get().Register(FORMAT_QYDB, []() -> FormatIO_Base* { return new FormatIO_Sqlite; });
  }
  void TearDown() override { FileFormatFactory::Get().Register(FORMAT_QYDB, nullptr); }

  TempDir dir;
};

std::string PlanOf(FormatIO_Sqlite& fmt, const std::string& query) {
  std::string plan;
  for (const auto& row : QueryOwn(fmt, ("EXPLAIN QUERY PLAN " + query).c_str()))
    if (!row.empty()) plan += row.back() + "\n";
  return plan;
}

// Every per-note lookup of a fetch, an update or a rename finds its rows
// through an index: a scan per note makes fetching a whole document
// quadratic in its size.
TEST_F(SqliteSeam, PerNoteLookupsUseAnIndex) {
  NoteDocument doc;
  EveryFeatureDocument(doc);
  const std::string path = dir / "plan.qydb";
  int r = -1;
  std::unique_ptr<FormatIO_Sqlite> fmt = SaveNew(doc, path, &r);
  ASSERT_EQ(r, 0);
  for (const char* table : {"notes", "notes_tree", "images", "attachments", "formatting", "tags_notes", "links",
                            "tasks", "custom_properties", "icons", "anchors"}) {
    SCOPED_TRACE(table);
    const std::string plan = PlanOf(*fmt, std::string("SELECT * FROM ") + table + " WHERE note_id='TOP'");
    EXPECT_NE(plan.find("USING"), std::string::npos) << plan;
    EXPECT_EQ(plan.find("SCAN"), std::string::npos) << plan;
  }
  fmt.reset();

  // A file of the latest version made without those indexes gets them when
  // it is opened for writing.
  {
    CppSQLite3DB raw;
    raw.open(path.c_str());
    for (const char* name : quillery::sqlite_schema::kNoteLookupIndexNames)
      raw.execDML((std::string("DROP INDEX ") + name).c_str());
  }
  FormatIO_Sqlite reopened;
  NoteDocument back;
  ASSERT_EQ(reopened.Load(path.c_str(), back, -1), 0);
  for (const char* table : {"custom_properties", "anchors"}) {
    SCOPED_TRACE(table);
    const std::string plan = PlanOf(reopened, std::string("SELECT * FROM ") + table + " WHERE note_id='TOP'");
    EXPECT_EQ(plan.find("SCAN"), std::string::npos) << plan;
  }
}

}  // namespace
