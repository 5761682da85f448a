#include <gtest/gtest.h>

#include "base/Log.h"
#include "model/FileFormatFactory.h"
#include "model/FormatIO_Base.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"

TEST(FormatIdTest, ExtensionTable) {
  const struct {
    const char* ext;
    int id;
  } table[] = {{"qyd", 2},   {"hqy", 1},     {"qye", 3},    {"gjots2", 4},  {"xml", 5},    {"html", 7},
               {"txt", 6},   {"kno", 10},    {"knt", 11},   {"hjt", 12},    {"tux", 13},   {"qydb", 15},
               {"qyde", 16}, {"note", 17},   {"vlt", 18},   {"vltxml", 19}, {"rtf", 20},   {"tab", 21},
               {"opml", 22}, {"qyz", 23},    {"otl", 24},   {"htm", 7},     {"palm", 25},  {"nbk", 26},
               {"xmind", 27}, {"ndb", 28},   {"csv", 29},   {"mmap", 31},   {"baskets", 32}, {"htmao", 33},
               {"leo", 34},  {"toodledo", 35}, {"phat", 36}, {"psi", 37},    {"tex", 38},   {"psicsv", 39},
               {"enex", 40}, {"md", 42},     {"epub", 43},  {"ctb", 44}};
  for (const auto& e : table) {
    std::string lower = std::string("/tmp/a.") + e.ext;
    std::string upper = lower;
    for (size_t i = 7; i < upper.size(); ++i) upper[i] = static_cast<char>(toupper(upper[i]));
    EXPECT_EQ(NoteDocument::GetFormatFromFileName(lower), e.id) << lower;
    EXPECT_EQ(NoteDocument::GetFormatFromFileName(upper), e.id) << upper;
  }
  EXPECT_EQ(NoteDocument::GetFormatFromFileName("x.MM"), 8);
  EXPECT_EQ(NoteDocument::GetFormatFromFileName("x.mm"), 14);
  EXPECT_EQ(NoteDocument::GetFormatFromFileName("x.Mm"), -1);
  EXPECT_EQ(NoteDocument::GetFormatFromFileName("noext"), -1);
  EXPECT_EQ(NoteDocument::GetFormatFromFileName("x."), -1);
  EXPECT_EQ(NoteDocument::GetFormatFromFileName("a.b.qye"), 3);
  EXPECT_EQ(NoteDocument::GetFormatFromFileName("/d.qyd/file"), -1);
  EXPECT_EQ(NoteDocument::GetFormatFromFileName("x.qydbx"), -1);
}

namespace {

class NullFormat : public FormatIO_Base {
 public:
  explicit NullFormat(int id) : m_id(id) {}
  int Load(const char*, NoteDocument&, int) override { return 0; }
  int Save(const char*, RecursiveTreeWalker&) override { return 0; }
  int GetFormat() override { return m_id; }

 private:
  int m_id;
};

FormatIO_Base* MakeFirst() { return new NullFormat(901); }
FormatIO_Base* MakeSecond() { return new NullFormat(902); }

}  // namespace

TEST(FileFormatFactoryTest, RegisterReplacesAndNullUnregisters) {
  FileFormatFactory& f = FileFormatFactory::Get();
  EXPECT_EQ(f.CreateFileFormat(900), nullptr);
  f.Register(900, MakeFirst);
  f.Register(900, MakeSecond);
  FormatIO_Base* obj = f.CreateFileFormat(900);
  ASSERT_NE(obj, nullptr);
  EXPECT_EQ(obj->GetFormat(), 902);
  delete obj;
  f.Register(900, nullptr);
  EXPECT_EQ(f.CreateFileFormat(900), nullptr);
}

TEST(FileFormatFactoryTest, UnregisteredFormatLoadsWith4AndSavesWith2) {
  NoteDocument doc;
  doc.NodeInsert("", -1);
  // A file that exists, so that the format lookup is what fails.
  EXPECT_EQ(doc.Load("/proc/self/status", nullptr, 44), DOC_LOAD_UNKNOWN_FORMAT);
  doc.NodeInsert("", -1);
  RecursiveTreeWalker w(doc);
  quillery::LogCapture cap;
  EXPECT_EQ(doc.Save("/tmp/quillery-never-written.ctb", w), DOC_SAVE_UNKNOWN_FORMAT);
  EXPECT_TRUE(cap.Has("Unsupported save file format 44 for file: /tmp/quillery-never-written.ctb (no loader registered)\n"));
  EXPECT_EQ(doc.Save("/tmp/quillery-never-written.zzz", w), DOC_SAVE_UNKNOWN_FORMAT);
  EXPECT_TRUE(cap.Has("Unsupported save file format -1 for file: /tmp/quillery-never-written.zzz\n"));
}

// ---------------------------------------------------------------------------
// Base defaults

#include <glib.h>

#include <fstream>

#include "common/TempDir.h"

TEST(FormatIOBaseTest, FileSizeAndDocSize) {
  NullFormat f(2);
  EXPECT_EQ(f.GetFileSize(), -1);
  EXPECT_EQ(f.CalcDocSize(), -1);
  NoteDocument doc;
  f.SetDoc(doc);
  EXPECT_EQ(f.GetFileSize(), -1);  // no path
  quillery_test::TempDir dir;
  { std::ofstream(dir / "f.qyd") << "12345"; }
  doc.SetPath(dir / "f.qyd");
  EXPECT_EQ(f.GetFileSize(), 5);

  EXPECT_EQ(f.CalcDocSize(), 2000);  // no notes
  doc.NodeInsert("", -1);
  EXPECT_EQ(f.CalcDocSize(), 2000);  // one empty note
  NoteNode& n = doc.GetNodeByIdx(0);
  n.SetText("h\xC3\xA9llo");  // 6 bytes
  n.m_objText.m_lstFmt.Append(FmtInfo(FMT_BOLD_BEGIN, 0));
  n.m_objText.m_lstFmt.Append(FmtInfo(FMT_BOLD_END, 2));
  AttInfo att;
  att.strName = "a.bin";   // 5
  att.nDataSize = 1001;    // * 3 / 2 = 1501
  n.m_lstAttachments.push_back(att);
  LinkInfo link;
  link.strLink = "http://x";  // 8
  link.strTargetID = "abc";   // 3
  n.m_objText.m_lstLinks.Append(link);
  PixInfo pix;
  pix.strName = "p";                 // 1
  pix.strEncoded = std::string(10, 'x');  // stored size 10 -> 15
  n.m_objText.m_lstPictures.Push(pix);
  PixInfo broken;                    // nothing to encode: counts 0
  broken.strName = "qq";             // 2
  n.m_objText.m_lstPictures.Push(broken);
  EXPECT_EQ(f.CalcDocSize(), 2000 + 6 + 30 + (5 + 1501 + 30) + (1 + 15 + 30) + (2 + 0 + 30) + 11);

  n.m_lstAttachments[0].nDataSize = 2000000000;  // no int overflow
  EXPECT_GT(f.CalcDocSize(), 3000000000LL);
}

namespace {

int g_dispatched = 0;
int g_nestedDepth = 0;

gboolean CountAndContinue(gpointer) {
  ++g_dispatched;
  return G_SOURCE_CONTINUE;
}

gboolean NestedRunLoop(gpointer) {
  // Dispatched by the nested iteration below: depth 2.
  g_nestedDepth = g_main_depth();
  const int before = g_dispatched;
  FormatIO_Base::RunLoop(20);
  EXPECT_EQ(g_dispatched, before);
  return G_SOURCE_REMOVE;
}

gboolean OuterCallback(gpointer) {
  g_idle_add_full(G_PRIORITY_HIGH, NestedRunLoop, nullptr, nullptr);
  g_main_context_iteration(nullptr, FALSE);  // runs NestedRunLoop at depth 2
  return G_SOURCE_REMOVE;
}

}  // namespace

TEST(FormatIOBaseTest, RunLoopDispatchesAtMostOneEvent) {
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
  g_dispatched = 0;
  FormatIO_Base::RunLoop(20);  // nothing pending: returns at once
  EXPECT_EQ(g_dispatched, 0);

  const guint id = g_idle_add(CountAndContinue, nullptr);
  FormatIO_Base::RunLoop(20);
  EXPECT_EQ(g_dispatched, 1);
  FormatIO_Base::RunLoop(20);
  EXPECT_EQ(g_dispatched, 2);
  g_source_remove(id);

  g_dispatched = 0;
  const guint steady = g_idle_add_full(G_PRIORITY_LOW, CountAndContinue, nullptr, nullptr);
  g_idle_add(OuterCallback, nullptr);
  g_main_context_iteration(nullptr, FALSE);  // OuterCallback at depth 1
  EXPECT_EQ(g_nestedDepth, 2);
  g_source_remove(steady);
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
}
