#include <gtest/gtest.h>

#include "base/Log.h"
#include "formats/FileFormatFactory.h"
#include "formats/FormatIO_Base.h"
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
