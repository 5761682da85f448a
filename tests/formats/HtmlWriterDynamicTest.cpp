// Saving a database-backed document to HTML: every note is fetched with the
// writer's mask while it is written and released afterwards, except the
// selected note, which the save leaves selected.

#include <gtest/gtest.h>

#include <fstream>

#include "HtmlWriterTestUtil.h"
#include "formats/FileFormatFactory.h"
#include "sqlite/FormatIO_DynamicBase.h"

using namespace qytest;

namespace {

// A dynamic format over an in-memory "file": three notes whose texts are
// fetched on demand.
class FakeDynamic : public FormatIO_DynamicBase {
 public:
  int Load(const char*, NoteDocument& doc, int) override {
    SetDoc(doc);
    for (const char* id : {"A", "B", "C"}) AddNote(doc, "", id, id);
    return 0;
  }
  int Save(const char*, RecursiveTreeWalker&) override { return 0; }
  int GetFormat() override { return FORMAT_QYDB; }
  void FetchNodeInfo(NoteNode& note, unsigned int mask) override {
    masks.push_back(mask);
    if (mask & NIF_TEXT) note.m_objText.SetText("text of " + note.m_strID);
  }
  bool HasAttachments(NoteNode&) override { return false; }
  bool HasNote(NoteNode&) override { return false; }
  void OnNodeInsert(NoteNode&, bool) override {}
  void OnNodeDeleted(NoteNode&, bool) override {}
  void OnNodeTxtInsert(NoteNode&, int, int) override {}
  void OnNodeTxtDelete(NoteNode&, int, int) override {}
  void FetchNodeAtt(NoteNode&, int) override {}
  bool OnNodeUpdate(NoteNode&, unsigned int, bool, std::string*) override { return true; }
  void OnNodeUpdate_ReadOnly(NoteNode&) override {}
  void OnNodeAttAdded(NoteNode&, int) override {}
  void OnNodeAttRemoved(NoteNode&, int) override {}
  void OnNodeAttUpdated(NoteNode&, int) override {}
  void OnNodePixAdded(NoteNode&, PixInfo&, const std::string&) override {}
  void OnNodePixAdded(NoteNode&, PixInfo&) override {}
  void OnNodePixRemoved(NoteNode&, int) override {}
  void OnNodeTagAdded(NoteNode&, const std::string&) override {}
  void OnNodeTagRemoved(NoteNode&, const std::string&) override {}
  void OnRemoveTag(const std::string&) override {}
  void OnNodeCustomIconSet(NoteNode&, PixInfo&) override {}
  void OnNodeCustomIconRemoved(NoteNode&) override {}
  bool ModifyNoteID(const std::string&, const std::string&) override { return true; }
  void GetUsedColors(std::map<std::string, int>&) override {}
  bool BackupTo(const char*) override { return false; }
  void OnExpandAll() override {}
  void OnCollapseAll() override {}
  void StoreGlobalData() override {}

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
  // Text, pictures, links, formatting, anchors, tags, custom properties and
  // attachments, once per note.
  ASSERT_EQ(FakeDynamic::masks.size(), 3u);
  for (unsigned int m : FakeDynamic::masks) EXPECT_EQ(m, 0x24BDu);
  EXPECT_EQ(doc.m_nCurrentNoteIdx, 1);
  EXPECT_EQ(doc.GetNodeByIdx(0).GetText(), "");  // released after writing
  EXPECT_EQ(doc.GetNodeByIdx(1).GetText(), "text of B");
  EXPECT_EQ(doc.GetNodeByIdx(2).GetText(), "");
}
