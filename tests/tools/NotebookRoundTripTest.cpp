// The sample notebook, which uses every feature the document formats store,
// comes back from a save and a load equal in every compared field, in each
// format the host offers.

#include <gtest/gtest.h>

#include <string>

#include "samples/SampleNotebook.h"
#include "common/TempDir.h"
#include "model/FileFormatFactory.h"
#include "formats/native/FormatIOHtml.h"
#include "formats/containers/FormatIO_EncHTML.h"
#include "formats/containers/FormatIO_ZlibHTML.h"
#include "model/DocumentCompare.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"

namespace {

FormatIO_Base* NewHtml() { return new FormatIO_HTML(); }
FormatIO_Base* NewEncHtml() { return new FormatIO_EncHTML(); }
FormatIO_Base* NewZlibHtml() { return new FormatIO_ZlibHTML(); }

TEST(NotebookRoundTrip, EveryDocumentFormatKeepsEveryField) {
  FileFormatFactory& factory = FileFormatFactory::Get();
  factory.Register(FORMAT_HQY, NewHtml);
  factory.Register(FORMAT_QYD, NewHtml);
  factory.Register(FORMAT_QYE, NewEncHtml);
  factory.Register(FORMAT_QYZ, NewZlibHtml);
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

  for (const char* ext : {".qyd", ".hqy", ".qyz", ".qye"}) {
    RecursiveTreeWalker walker(doc, WALK_ALL);
    const std::string path = t / (std::string("notebook") + ext);
    ASSERT_EQ(doc.Save(path.c_str(), walker, false, 0, nullptr, "pw", 0, 0, true), DOC_SAVE_OK) << ext;
    NoteDocument back;
    ASSERT_EQ(back.Load(path.c_str(), "pw"), DOC_LOAD_OK) << ext;
    std::string diff;
    EXPECT_TRUE(quillery::CompareDocuments(doc, back, &diff)) << ext << ": " << diff;
  }
}

}  // namespace
