// A database document saved to a native file after a change could not be
// written to the database: the native file and the document in memory keep
// the change; notes the save had to read are let go again.

#include <gtest/gtest.h>

#include "common/RawSqlite.h"
#include "formats/native/FormatIOHtml.h"
#include "model/FileFormatFactory.h"
#include "sqlite/format/SqliteWriteTestUtil.h"

using namespace qysqlw;

namespace {

TEST(SqliteSaveNative, ANativeSaveWritesWhatIsInMemoryAndFetchesOnlyTheRest) {
  FormatIO_Base::SetEnableSharing(true);
  FileFormatFactory& factory = FileFormatFactory::Get();
  factory.Register(FORMAT_QYDB, []() -> FormatIO_Base* { return new FormatIO_Sqlite; });
  factory.Register(FORMAT_QYD, []() -> FormatIO_Base* { return new FormatIO_HTML; });
  TempDir dir;
  const std::string path = dir / "doc.qydb";
  {
    NoteDocument doc;
    EveryFeatureDocument(doc);
    RecursiveTreeWalker all(doc);
    ASSERT_EQ(doc.Save(path.c_str(), all, false), 0);
  }
  NoteDocument a;
  ASSERT_EQ(a.Load(path.c_str()), 0);
  FormatIO_Sqlite* loader = dynamic_cast<FormatIO_Sqlite*>(a.GetLoader());
  ASSERT_TRUE(loader);
  loader->_db.setBusyTimeout(0);
  const int last = a.GetIdxFromID("LAST");
  const int child = a.GetIdxFromID("CHILD");
  NoteNode& note = a.OnNoteSelected(last, NIF_ALL, true);
  {
    quillery_test::RawSqlite other(path);  // another program holds the file
    ASSERT_EQ(other.Exec("BEGIN IMMEDIATE; UPDATE options SET opt_value=opt_value"), "");
    note.SetText("edited text");
    EXPECT_FALSE(loader->OnNodeUpdate(note, NIF_TEXT, false, nullptr));
    ASSERT_EQ(other.Exec("ROLLBACK"), "");
  }
  a.m_nCurrentNoteIdx = a.GetIdxFromID("TOP");

  const auto savedText = [&](const std::string& file, const char* id) {
    NoteDocument back;
    EXPECT_EQ(back.Load(file.c_str()), 0);
    const int at = back.GetIdxFromID(id);
    return at < 0 ? std::string("(missing)") : back.GetNodeByIdx(at).GetText();
  };
  const std::string copy = dir / "copy.qyd";
  RecursiveTreeWalker walker(a);
  ASSERT_EQ(a.Save(copy.c_str(), walker, false), 0);
  EXPECT_EQ(savedText(copy, "LAST"), "edited text");
  EXPECT_EQ(savedText(copy, "CHILD"), "pic: here and there");
  EXPECT_EQ(a.GetNodeByIdx(last).GetText(), "edited text");
  // A note that only the save read is let go again.
  EXPECT_EQ(a.GetNodeByIdx(child).m_nPartsInMemory & NIF_CONTENT, 0u);
  EXPECT_EQ(a.GetNodeByIdx(child).m_objText.m_lstPictures.GetSize(), 0);

  // Leaving the database for a native file reads in only what was never read.
  const std::string moved = dir / "moved.qyd";
  ASSERT_EQ(a.Save(moved.c_str(), walker, true), 0);
  EXPECT_EQ(savedText(moved, "LAST"), "edited text");
  EXPECT_EQ(a.GetNodeByIdx(last).GetText(), "edited text");
  EXPECT_EQ(a.GetNodeByIdx(child).m_objText.m_lstPictures.GetSize(), 2);
  factory.Register(FORMAT_QYD, nullptr);
  factory.Register(FORMAT_QYDB, nullptr);
}

}  // namespace
