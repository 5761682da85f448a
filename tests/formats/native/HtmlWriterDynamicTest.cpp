// Saving a database-backed document to HTML: every note is fetched with the
// writer's mask (less what is in memory) while it is written and released
// afterwards, except the selected note, which the save leaves selected.

#include <gtest/gtest.h>

#include <fstream>

#include "HtmlWriterTestUtil.h"
#include "model/FileFormatFactory.h"
#include "common/NullDynamicFormat.h"

using namespace qytest;

namespace {

// A dynamic format over an in-memory "file": three notes whose texts are
// fetched on demand.
class FakeDynamic : public quillery_test::NullDynamicFormat {
 public:
  int Load(const char*, NoteDocument& doc, int) override {
    SetDoc(doc);
    for (const char* id : {"A", "B", "C"}) AddNote(doc, "", id, id).m_nPartsInMemory = NIF_ALL & ~NIF_CONTENT;
    return 0;
  }
  void FetchNodeInfo(NoteNode& note, unsigned int mask) override {
    masks.push_back(mask);
    note.m_nPartsInMemory |= mask;
    if (mask & NIF_TEXT) note.m_objText.SetText("text of " + note.m_strID);
  }

  static std::vector<unsigned int> masks;
};
std::vector<unsigned int> FakeDynamic::masks;

}  // namespace

TEST(HtmlWriterDynamic, FetchesAndReleasesEachNote) {
  TempDir tmp;
  const std::string src = tmp / "doc.qydb";
  std::ofstream(src) << "x";
  FileFormatFactory::Get().Register(FORMAT_QYDB, []() -> FormatIO_Base* { return new FakeDynamic; });
  NoteDocument doc;
  ASSERT_EQ(doc.Load(src.c_str()), 0);
  FileFormatFactory::Get().Register(FORMAT_QYDB, nullptr);
  ASSERT_TRUE(doc.GetLoader() && doc.GetLoader()->IsDynamic());
  doc.OnNoteSelected(1, NIF_ALL, true);  // B is the selected note
  FakeDynamic::masks.clear();

  const std::string out = tmp / "out.qyd";
  RecursiveTreeWalker walker(doc);
  FormatIO_HTML fmt;
  ASSERT_EQ(fmt.Save(out.c_str(), walker), 0);
  const std::string file = ReadFile(out);
  for (const char* id : {"A", "B", "C"})
    EXPECT_NE(file.find(std::string("<DD>\ntext of ") + id + "\n</DD>\n"), std::string::npos) << file;
  // Text, pictures, links, formatting, anchors and attachments, once per
  // note not in memory (tags and custom properties came with the load).
  EXPECT_EQ(FakeDynamic::masks, (std::vector<unsigned int>{0x209Du, 0u, 0x209Du}));
  EXPECT_EQ(doc.m_nCurrentNoteIdx, 1);
  EXPECT_EQ(doc.GetNodeByIdx(0).GetText(), "");  // released after writing
  EXPECT_EQ(doc.GetNodeByIdx(1).GetText(), "text of B");
  EXPECT_EQ(doc.GetNodeByIdx(2).GetText(), "");
}
