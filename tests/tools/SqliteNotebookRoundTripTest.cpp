// The sample notebook (every feature the document formats store, clones and
// custom icons included) saved into a new SQLite database and loaded back:
// every compared field equal once each note is fetched; and a change made
// through the model, saved in place, is there after a reload.

#include <gtest/gtest.h>

#include <string>

#include "samples/SampleNotebook.h"
#include "common/TempDir.h"
#include "model/FileFormatFactory.h"
#include "model/DocumentCompare.h"
#include "model/InternalIcons.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"
#include "sqlite/format/FormatIO_Sqlite.h"
#include "sqlite/format/FormatIO_SqliteEnc.h"

namespace {

FormatIO_Base* NewSqlite() { return new FormatIO_Sqlite(); }
FormatIO_Base* NewSqliteEnc() { return new FormatIO_SqliteEnc(); }

// Loads the file and fetches every note whole. The database's loader holds
// a built-in icon as type 0 with its name; the model's other readers hold
// it by index: the index is restored from the name for the comparison.
int LoadAndFetch(NoteDocument& doc, const std::string& path) {
  const int r = doc.Load(path.c_str(), "pw");
  if (r != DOC_LOAD_OK) return r;
  FormatIO_DynamicBase* dyn = doc.GetDynamicLoader();
  if (!dyn) return -1;
  for (int i = 0; i < doc.GetNodeCount(); ++i) {
    NoteNode& n = doc.GetNodeByIdx(i);
    dyn->FetchNodeInfo(n, NIF_ALL);
    if (n.m_nIconType == ICON_INTERNAL && !n.m_strIconPath.empty())
      n.m_nIconType = InternalIcon_Name2Index(n.m_strIconPath);
  }
  return DOC_LOAD_OK;
}

TEST(SqliteNotebookRoundTrip, EveryFieldOfTheNotebookComesBack) {
  FileFormatFactory& factory = FileFormatFactory::Get();
  factory.Register(FORMAT_QYDB, NewSqlite);
  factory.Register(FORMAT_QYDE, NewSqliteEnc);
  quillery_test::TempDir t;
  quillery::NotebookOptions opt;
  opt.nNotes = 600;
  NoteDocument doc;
  const quillery::NotebookStats st = quillery::MakeSampleNotebook(doc, opt);
  ASSERT_GT(st.nClones, 0);

  quillery::DocCompareOptions cmp;
  cmp.bLastNote = false;  // a database keeps the current note instead
  cmp.bHashes = false;    // computed when notes are fetched
  for (const char* ext : {".qydb", ".qyde"}) {
    RecursiveTreeWalker walker(doc, WALK_ALL);
    const std::string path = t / (std::string("notebook") + ext);
    ASSERT_EQ(doc.Save(path.c_str(), walker, false, 0, nullptr, "pw", 0, 0, true), DOC_SAVE_OK) << ext;
    NoteDocument back;
    ASSERT_EQ(LoadAndFetch(back, path), DOC_LOAD_OK) << ext;
    std::string diff;
    EXPECT_TRUE(quillery::CompareDocuments(doc, back, &diff, cmp)) << ext << ": " << diff;

    // A change through the model, saved in place, survives a reload.
    const int idx = back.NodeInsert("", 0);
    back.GetNodeByIdx(idx).SetTitle("Added after loading");
    const std::string newID = back.GetNodeByIdx(idx).m_strID;
    FormatIO_DynamicBase* dyn = back.GetDynamicLoader();
    ASSERT_TRUE(dyn->OnNodeUpdate(back.GetNodeByIdx(idx), NIF_TITLE, false, nullptr));
    RecursiveTreeWalker all(back, WALK_ALL);
    ASSERT_EQ(back.Save(path.c_str(), all), DOC_SAVE_OK) << ext;
    back.Close();
    NoteDocument again;
    ASSERT_EQ(LoadAndFetch(again, path), DOC_LOAD_OK) << ext;
    EXPECT_EQ(again.GetNodeCount(), doc.GetNodeCount() + 1) << ext;
    const int added = again.GetIdxFromID(newID);
    ASSERT_GE(added, 0) << ext;
    EXPECT_EQ(again.GetNodeByIdx(added).GetTitle(), "Added after loading") << ext;
    EXPECT_EQ(again.GetNodeByIdx(added).m_nSibling, 0) << ext;
  }
}

}  // namespace
