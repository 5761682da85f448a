// A document with every feature saved into a new database and loaded back:
// every field equal; and a loaded document saved on into another database
// through its own lazy loader.

#include <gtest/gtest.h>

#include <random>

#include "model/FileFormatFactory.h"
#include "formats/native/FormatIOHtml.h"
#include "model/DocumentCompare.h"
#include "sqlite/format/SqliteWriteTestUtil.h"

using namespace qysqlw;

namespace {

class SqliteRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    FormatIO_Base::SetEnableSharing(true);
    FileFormatFactory::Get().Register(FORMAT_QYDB, []() -> FormatIO_Base* { return new FormatIO_Sqlite; });
  }
  void TearDown() override { FileFormatFactory::Get().Register(FORMAT_QYDB, nullptr); }

  // Loads the file and fetches every note whole.
  static int LoadAll(NoteDocument& doc, const std::string& path) {
    const int r = doc.Load(path.c_str(), nullptr, FORMAT_QYDB);
    if (r != 0) return r;
    FormatIO_DynamicBase* dyn = doc.GetDynamicLoader();
    if (!dyn) return -1;
    for (int i = 0; i < doc.GetNodeCount(); ++i) dyn->FetchNodeInfo(doc.GetNodeByIdx(i), NIF_ALL);
    return 0;
  }

  static quillery::DocCompareOptions Options() {
    quillery::DocCompareOptions o;
    o.bLastNote = false;  // the database keeps the current note instead
    o.bHashes = false;    // computed when the notes are fetched
    return o;
  }

  TempDir dir;
};

TEST_F(SqliteRoundTrip, EveryFieldComesBack) {
  NoteDocument doc;
  EveryFeatureDocument(doc);
  const std::string path = dir / "every.qydb";
  int r = -1;
  std::unique_ptr<FormatIO_Sqlite> fmt = SaveNew(doc, path, &r);
  ASSERT_EQ(r, 0);
  fmt.reset();

  NoteDocument back;
  ASSERT_EQ(LoadAll(back, path), 0);
  std::string diff;
  EXPECT_TRUE(quillery::CompareDocuments(doc, back, &diff, Options())) << diff;

  // Saved on from the loaded document: each note is fetched from the open
  // database for the save and let go again afterwards.
  const std::string second = dir / "second.qydb";
  back.m_nCurrentNoteIdx = back.GetIdxFromID("LAST");
  for (int i = 0; i < back.GetNodeCount(); ++i) back.GetNodeByIdx(i).Clear(true);
  RecursiveTreeWalker walker(back);
  FormatIO_Sqlite other;
  ASSERT_EQ(other.Save(second.c_str(), walker), 0);
  EXPECT_EQ(back.m_nCurrentNoteIdx, back.GetIdxFromID("LAST"));
  EXPECT_TRUE(back.GetNodeByIdx(back.GetIdxFromID("TOP")).GetText().empty());
  EXPECT_FALSE(back.GetNodeByIdx(back.GetIdxFromID("LAST")).GetText().empty());
  other.Close();

  NoteDocument third;
  ASSERT_EQ(LoadAll(third, second), 0);
  EXPECT_TRUE(quillery::CompareDocuments(doc, third, &diff, Options())) << diff;
}

TEST_F(SqliteRoundTrip, ChangesMadeThroughTheModelSurviveSaveAndReload) {
  NoteDocument doc;
  EveryFeatureDocument(doc);
  const std::string path = dir / "live.qydb";
  RecursiveTreeWalker all(doc);
  ASSERT_EQ(doc.Save(path.c_str(), all), 0);
  FormatIO_DynamicBase* dyn = doc.GetDynamicLoader();
  ASSERT_NE(dyn, nullptr);

  // A new first child of TOP: inserted, filled, given a picture and a
  // different ID, all reported by the model as they happen.
  const int idx = doc.NodeInsert("TOP", 0);
  NoteNode& n = doc.GetNodeByIdx(idx);
  n.SetTitle("New");
  n.SetText("new text");
  n.SetKeywords(";fresh;");
  ASSERT_TRUE(dyn->OnNodeUpdate(n, NIF_TITLE | NIF_TEXT | NIF_TAGS, false, nullptr));
  ASSERT_TRUE(doc.AddNotePicture(n, 3, "p.png", qycont::TinyPng(), true, -1, -1));
  doc.NodeInitID(idx, "NEWID");
  // LAST loses its text and gets a task.
  NoteNode& last = doc.GetNodeByIdx(doc.GetIdxFromID("LAST"));
  last.SetText("short");
  last.m_objTask.SetValid(true);
  last.m_objTask.dateCreated = 1700000000;  // what marks a stored task
  last.m_objTask.dateDue = 1800000000;
  ASSERT_TRUE(dyn->OnNodeUpdate(last, NIF_TEXT | NIF_TASK, false, nullptr));
  ASSERT_EQ(doc.Save(path.c_str(), all), 0);
  // The document keeps its notes in memory; its connection (which read
  // inside its new transaction) lets go of the file for the second load.
  dynamic_cast<FormatIO_Sqlite*>(doc.GetLoader())->Close();

  NoteDocument back;
  ASSERT_EQ(LoadAll(back, path), 0);
  std::string diff;
  EXPECT_TRUE(quillery::CompareDocuments(doc, back, &diff, Options())) << diff;
  EXPECT_EQ(back.GetNodeByIdx(back.GetIdxFromID("CHILD")).m_nSibling, 1);
  EXPECT_EQ(back.GetNodeByIdx(back.GetIdxFromID("NEWID")).m_objText.m_lstPictures.GetSize(), 1);
}

TEST_F(SqliteRoundTrip, NotesImportedIntoAnOpenDatabaseAreStoredWhole) {
  FileFormatFactory::Get().Register(FORMAT_QYD, []() -> FormatIO_Base* { return new FormatIO_HTML; });
  NoteDocument source;
  EveryFeatureDocument(source);
  const std::string html = dir / "source.qyd";
  RecursiveTreeWalker sourceWalk(source);
  ASSERT_EQ(source.Save(html.c_str(), sourceWalk, false), 0);

  NoteDocument doc;
  AddNote(doc, "", "OWN", "Own note", "own text");
  const std::string path = dir / "target.qydb";
  RecursiveTreeWalker all(doc);
  ASSERT_EQ(doc.Save(path.c_str(), all), 0);
  ASSERT_EQ(doc.Load(html.c_str(), nullptr, FORMAT_QYD, true, true, -1), 0);
  ASSERT_EQ(doc.Save(path.c_str(), all), 0);
  doc.Close();

  NoteDocument back;
  ASSERT_EQ(LoadAll(back, path), 0);
  ASSERT_EQ(back.GetNodeCount(), source.GetNodeCount() + 1);
  for (int i = 0; i < source.GetNodeCount(); ++i) {
    const NoteNode& want = source.GetNodeByIdx(i);
    SCOPED_TRACE(want.m_strID);
    const int at = back.GetIdxFromID(want.m_strID);
    ASSERT_GE(at, 0);
    const NoteNode& got = back.GetNodeByIdx(at);
    EXPECT_EQ(got.GetTitle(), want.GetTitle());
    if (want.IsClone()) continue;
    EXPECT_EQ(got.GetText(), want.GetText());
    EXPECT_EQ(got.m_objText.m_lstFmt.GetSize(), want.m_objText.m_lstFmt.GetSize());
    EXPECT_EQ(got.m_objText.m_lstLinks.GetSize(), want.m_objText.m_lstLinks.GetSize());
    EXPECT_EQ(got.m_objText.m_lstAnchors.GetSize(), want.m_objText.m_lstAnchors.GetSize());
    EXPECT_EQ(got.m_objText.m_lstPictures.GetSize(), want.m_objText.m_lstPictures.GetSize());
    EXPECT_EQ(got.m_lstAttachments.size(), want.m_lstAttachments.size());
    EXPECT_EQ(got.GetKeywords(), want.GetKeywords());
    EXPECT_EQ(got.m_objTask.IsValid(), want.m_objTask.IsValid());
    EXPECT_EQ(got.m_lstCustomProperties.size(), want.m_lstCustomProperties.size());
  }
}

TEST_F(SqliteRoundTrip, RandomChangesThroughTheModelComeBackAfterEachSave) {
  NoteDocument doc;
  AddNote(doc, "", "ROOT", "root", "root text");
  const std::string path = dir / "random.qydb";
  RecursiveTreeWalker all(doc);
  ASSERT_EQ(doc.Save(path.c_str(), all), 0);
  FormatIO_DynamicBase* dyn = doc.GetDynamicLoader();
  ASSERT_NE(dyn, nullptr);

  std::mt19937 rng(7);
  auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const std::string png = qycont::TinyPng();
  for (int round = 0; round < 3; ++round) {
    for (int step = 0; step < 60; ++step) {
      NoteNode& target = doc.GetNodeByIdx(pick(doc.GetNodeCount()));
      switch (pick(6)) {
        case 0: {  // a new note somewhere
          const int count = static_cast<int>(doc.GetNodeCount());
          const std::string parent = pick(3) == 0 ? std::string() : doc.GetNodeByIdx(pick(count)).m_strID;
          const int idx = doc.NodeInsert(parent, pick(2) == 0 ? 0 : -1);
          doc.GetNodeByIdx(idx).SetTitle("note " + std::to_string(step));
          ASSERT_TRUE(dyn->OnNodeUpdate(doc.GetNodeByIdx(idx), NIF_TITLE, false, nullptr));
          break;
        }
        case 1: {  // text with a bold range
          target.SetText(("text " + std::to_string(pick(1000)) + " of some length").c_str());
          target.m_objText.m_lstFmt.Clear();
          target.m_objText.m_lstFmt.Append(FmtInfo(FMT_BOLD_BEGIN, 1));
          target.m_objText.m_lstFmt.Append(FmtInfo(FMT_BOLD_END, 4));
          target.m_objText.m_lstPictures.Clear();
          ASSERT_TRUE(dyn->OnNodeUpdate(target, NIF_TEXT | NIF_FORMATTING | NIF_PICTURES, false, nullptr));
          break;
        }
        case 2:  // tags
          target.SetKeywords(pick(2) ? ";a;b;" : ";c;");
          ASSERT_TRUE(dyn->OnNodeUpdate(target, NIF_TAGS, false, nullptr));
          break;
        case 3: {  // properties and a task
          target.m_bFinished = pick(2) == 0;
          target.m_nDateModified = 1600000000 + pick(1000);
          target.m_objTask.SetValid(pick(2) == 0);
          target.m_objTask.dateCreated = 1600000000;
          target.m_objTask.nPriority = pick(5);
          ASSERT_TRUE(dyn->OnNodeUpdate(target, NIF_PROPERTIES | NIF_TASK, false, nullptr));
          break;
        }
        case 4: {  // an attachment
          AttInfo att;
          att.strName = "a" + std::to_string(step);
          att.strData = std::string(static_cast<size_t>(pick(100)), 'd');
          att.nDataSize = static_cast<int>(att.strData.size());
          att.strCode = "C" + std::to_string(round) + "_" + std::to_string(step);
          target.m_lstAttachments.push_back(att);
          dyn->OnNodeAttAdded(target, -1);
          break;
        }
        default:  // a picture at the end of the text
          doc.AddNotePicture(target, target.m_objText.GetTotalLength(), "p.png", png, true, -1, -1);
          break;
      }
    }
    ASSERT_EQ(doc.Save(path.c_str(), all), 0);
    NoteDocument back;
    // The open document holds the file while its next transaction reads;
    // a copy of the committed file is compared instead.
    const std::string copy = dir / ("copy" + std::to_string(round) + ".qydb");
    ASSERT_TRUE(dyn->BackupTo(copy.c_str()));
    ASSERT_EQ(LoadAll(back, copy), 0);
    std::string diff;
    quillery::DocCompareOptions o = Options();
    o.bUID = false;
    EXPECT_TRUE(quillery::CompareDocuments(doc, back, &diff, o)) << "round " << round << ": " << diff;
  }
}

}  // namespace
