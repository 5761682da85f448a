// The sample notebook, which uses every feature the native format stores,
// comes back from a save and a load equal in every compared field.

#include <gtest/gtest.h>

#include <string>

#include "common/SampleNotebook.h"
#include "common/TempDir.h"
#include "formats/FileFormatFactory.h"
#include "formats/FormatIOHtml.h"
#include "model/DocumentCompare.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"

namespace {

FormatIO_Base* NewHtml() { return new FormatIO_HTML(); }

TEST(NotebookRoundTrip, NativeFormatKeepsEveryField) {
  FileFormatFactory::Get().Register(FORMAT_QYD, NewHtml);
  quillery_test::TempDir t;
  quillery::NotebookOptions opt;
  opt.nNotes = 600;
  NoteDocument doc;
  const quillery::NotebookStats st = quillery::MakeSampleNotebook(doc, opt);
  EXPECT_EQ(st.nNotes, 600);
  EXPECT_EQ(st.nMaxLevel, 5);
  EXPECT_GT(st.nPictures, 0);
  EXPECT_GT(st.nAttachments, 0);
  EXPECT_GT(st.nClones, 0);

  RecursiveTreeWalker walker(doc, WALK_ALL);
  const std::string path = t / "notebook.qyd";
  ASSERT_EQ(doc.Save(path.c_str(), walker, false, 0, nullptr, nullptr, 0, 0, true), DOC_SAVE_OK);
  NoteDocument back;
  ASSERT_EQ(back.Load(path.c_str()), DOC_LOAD_OK);
  std::string diff;
  EXPECT_TRUE(quillery::CompareDocuments(doc, back, &diff)) << diff;
}

}  // namespace
