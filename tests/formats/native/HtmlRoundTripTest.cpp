// Save -> load -> save: what the writer writes, the reader reads back into an
// equal document, and a second save gives the same bytes.

#include <gtest/gtest.h>

#include <map>
#include <random>

#include "HtmlWriterTestUtil.h"
#include "model/DocumentIterator.h"

using namespace qytest;

namespace {

const char kGolden[] = QY_SOURCE_DIR "/tests/formats/native/data/writer_golden.qyd";

int SaveFile(NoteDocument& doc, const std::string& path, int walkType = WALK_ALL, int start = -1) {
  RecursiveTreeWalker walker(doc, walkType, start);
  FormatIO_HTML fmt;
  return fmt.Save(path.c_str(), walker);
}

int LoadFile(NoteDocument& doc, const std::string& path) {
  FormatIO_HTML fmt;
  return fmt.Load(path.c_str(), doc, -1);
}

// "title<-parent/sibling" of every note, ordered by note ID (the reader
// appends notes in document order, so indices may differ).
std::string Shape(NoteDocument& doc) {
  std::map<std::string, std::string> byId;
  for (int i = 0; i < doc.GetNodeCount(); ++i) {
    const NoteNode& n = doc.GetNodeByIdx(i);
    int p = doc.GetIdxFromID(n.m_strParentID);
    byId[n.m_strID] = n.GetTitle() + "<-" + (p < 0 ? std::string("-") : doc.GetNodeByIdx(p).GetTitle()) + "/" +
                      std::to_string(n.m_nSibling);
  }
  std::string s;
  for (const auto& e : byId) s += e.second + " ";
  return s;
}

std::string Describe(const RichText& rt) {
  std::string s = "text[" + rt.GetText() + "]";
  for (const FmtInfo& f : rt.m_lstFmt.Items()) {
    s += " f" + std::to_string(f.nFormatTag) + "@" + std::to_string(f.nOffset);
    if (f.nFormatTag == FMT_COLOR_BEGIN || f.nFormatTag == FMT_BKG_COLOR_BEGIN)
      s += "#" + std::to_string(f.color.red >> 8) + "," + std::to_string(f.color.green >> 8) + "," +
           std::to_string(f.color.blue >> 8);
  }
  for (const LinkInfo& l : rt.m_lstLinks.Items())
    s += " l[" + l.strLink + "|" + l.strTargetID + "]@" + std::to_string(l.nStartOffset) + "+" +
         std::to_string(l.nTextLength);
  for (const AnchorInfo& a : rt.m_lstAnchors.Items()) s += " a[" + a.strName + "]@" + std::to_string(a.nOffset);
  for (const PixInfo& p : rt.m_lstPictures.Items())
    s += " p[" + p.strName + "|" + p.strEncoded + "|" + (p.bPNG ? "png" : "jpg") + "]@" + std::to_string(p.nOffset);
  return s;
}

// Random rich text with properly nested formatting: words of ASCII,
// multibyte and HTML-special characters, line breaks, non-crossing ranges
// that each cover at least one word, links, anchors and pictures.
class RandomNote {
 public:
  explicit RandomNote(std::mt19937& rng) : m_rng(rng) {}

  void Fill(NoteNode& note, const std::vector<std::string>& ids) {
    static const char* const kWords[] = {"a", "word", "caf\xC3\xA9", "\xE6\x97\xA5\xE6\x9C\xAC", "x<y", "&b",
                                         "\"q\"", "it's", "t\tab", "\xE2\x82\xAC", "1>0"};
    const int words = 1 + Pick(12);
    std::string text;
    std::vector<int> starts, ends;  // character offsets of word starts and ends
    int chars = 0;
    for (int w = 0; w < words; ++w) {
      if (w > 0) {
        const bool br = Pick(5) == 0;
        text += br ? "\n" : " ";
        ++chars;
      }
      std::string word = kWords[Pick(sizeof(kWords) / sizeof(kWords[0]))];
      starts.push_back(chars);
      text += word;
      chars += static_cast<int>(Utf8Count(word));
      ends.push_back(chars);
    }
    note.m_objText.SetText(text);

    // Non-crossing ranges over word boundaries: a range covers words
    // [w0, w1]; nested ranges use other kinds.
    static const int kKinds[] = {FMT_BOLD_BEGIN, FMT_ITALIC_BEGIN, FMT_UNDERLINE_BEGIN, FMT_STRIKE_BEGIN,
                                 FMT_COLOR_BEGIN, FMT_BKG_COLOR_BEGIN, FMT_SUPERSCRIPT_BEGIN};
    std::vector<std::pair<int, FmtInfo>> events;  // (order key, tag)
    int w = 0;
    while (w < words) {
      int w1 = w + Pick(std::min(3, words - w));
      if (Pick(3) != 0) {
        int outer = kKinds[Pick(7)];
        AddRange(events, outer, starts[w], ends[w1], 0);
        if (w1 > w && Pick(2) == 0) {
          int inner = kKinds[Pick(7)];
          if (inner != outer) AddRange(events, inner, starts[w + 1], ends[w1], 1);
        }
      }
      w = w1 + 1;
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const std::pair<int, FmtInfo>& a, const std::pair<int, FmtInfo>& b) { return a.first < b.first; });
    for (auto& e : events) note.m_objText.m_lstFmt.Append(e.second);

    // Links over single words (some words taken), an anchor, a picture.
    for (int i = 0; i < words; i += 2 + Pick(3)) {
      LinkInfo link;
      if (Pick(2) == 0 && !ids.empty()) {
        link.strTargetID = ids[Pick(static_cast<int>(ids.size()))];
      } else {
        // Quotes inside and at the end of a URL belong to it.
        static const char* const urls[] = {"http://h/p?a=1&b='<\"x\">'z", "http://h/q'", "http://h/r\""};
        link.strLink = urls[Pick(3)];
      }
      link.nStartOffset = starts[i];
      link.nTextLength = ends[i] - starts[i];
      note.m_objText.m_lstLinks.Append(link);
    }
    if (Pick(2) == 0) note.m_objText.m_lstAnchors.Append(AnchorInfo("an<&>'" + std::to_string(Pick(99)), starts[0]));
  }

  // A picture at the end of the text (after all formatting), so offsets of
  // the rest do not move.
  void AddPicture(NoteNode& note) {
    PixInfo pix;
    pix.nOffset = note.m_objText.GetTextLen();
    pix.strName = "pic \"" + std::to_string(Pick(9)) + "\"";
    pix.strEncoded = "BYTES" + std::to_string(Pick(1000));
    pix.bPNG = Pick(2) == 0;
    note.m_objText.m_lstPictures.Push(pix);
  }

 private:
  int Pick(int n) { return static_cast<int>(m_rng() % static_cast<unsigned>(n)); }
  static size_t Utf8Count(const std::string& s) {
    size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
  }
  // Order keys: offset * 4 + (end: 0 for inner, 1 for outer; begin: 2 for
  // outer, 3 for inner), so ends come first at an offset and close in
  // reverse order of their begins.
  void AddRange(std::vector<std::pair<int, FmtInfo>>& events, int kind, int from, int to, int level) {
    FmtInfo begin(kind, from), end(kind + 1, to);
    if (kind == FMT_COLOR_BEGIN || kind == FMT_BKG_COLOR_BEGIN) {
      GdkColor c = {0, static_cast<guint16>(Pick(256) * 257), static_cast<guint16>(Pick(256) * 257),
                    static_cast<guint16>(Pick(256) * 257)};
      begin.color = end.color = c;
    }
    events.emplace_back(from * 4 + (level ? 3 : 2), begin);
    events.emplace_back(to * 4 + (level ? 0 : 1), end);
  }

  std::mt19937& m_rng;
};

}  // namespace

TEST(HtmlRoundTrip, GoldenFileLoadsAndSavesIdentically) {
  NoteDocument doc;
  ASSERT_EQ(LoadFile(doc, kGolden), 0);
  EXPECT_EQ(doc.GetUID(), "DOCUID");
  EXPECT_EQ(doc.m_nLastNoteIdx, 0);
  ASSERT_EQ(doc.GetNodeCount(), 3);
  NoteNode& a = doc.GetNodeByIdx(0);
  EXPECT_EQ(a.m_strID, "NOTEID");
  EXPECT_EQ(a.GetTitle(), "A");
  EXPECT_EQ(Describe(a.m_objText), "text[hi] f1@0 f2@1");
  EXPECT_EQ(a.m_nDateCreated, 1600000000);
  EXPECT_EQ(a.m_nDateModified, 1600000100);
  EXPECT_EQ(doc.GetNodeByIdx(1).m_strParentID, "NOTEID");
  TempDir tmp;
  ASSERT_EQ(SaveFile(doc, tmp / "again.qyd"), 0);
  EXPECT_EQ(ReadFile(tmp / "again.qyd"), ReadFile(kGolden));
}

TEST(HtmlRoundTrip, TreeShapesReload) {
  NoteDocument doc;
  AddNote(doc, "", "R", "R", "r");
  AddNote(doc, "R", "C1", "C1", "x");
  AddNote(doc, "R", "C2", "C2", "");
  AddNote(doc, "C2", "G", "G", "g");
  AddNote(doc, "", "T", "T", "");
  TempDir tmp;
  ASSERT_EQ(SaveFile(doc, tmp / "all.qyd"), 0);
  NoteDocument all;
  ASSERT_EQ(LoadFile(all, tmp / "all.qyd"), 0);
  EXPECT_EQ(Shape(all), Shape(doc));

  // A walk that skips C2: T must not come back as a child of R.
  for (const char* id : {"R", "C1", "T"}) doc.GetNodeByIdx(doc.GetIdxFromID(id)).m_bMarked = true;
  ASSERT_EQ(SaveFile(doc, tmp / "marked.qyd", WALK_MARKED), 0);
  NoteDocument marked;
  ASSERT_EQ(LoadFile(marked, tmp / "marked.qyd"), 0);
  EXPECT_EQ(Shape(marked), "C1<-R/0 R<--/0 T<--/1 ");
}

TEST(HtmlRoundTrip, NoteCommentsReload) {
  NoteDocument doc;
  NoteNode& n = AddNote(doc, "", "N", "t<&>\"", "x");
  n.m_strKeywords = ";a;b;";
  n.m_strSourceLanguage = "c++";
  n.m_bReadOnly = n.m_bTemplate = n.m_bFinished = n.m_bExpanded = true;
  n.m_nDateCreated = 1700000000;
  n.m_nDateModified = 1700000001;
  n.m_objTask.SetValid(true);
  n.m_objTask.dateCreated = 10;
  n.m_objTask.nPriority = 2;
  n.m_objTask.nStatus = 3;
  n.m_objTask.nRepeat = 4;
  n.m_objTask.strScriptPath = "/p";
  n.m_lstCustomProperties.push_back(CustomProperty("k<", "v&\">"));
  n.m_lstCustomProperties.push_back(CustomProperty("k2", "&amp;"));
  n.m_bUseNoteBkgColor = true;
  n.m_clrNoteBkg = {0, 0xFFFF, 0x8080, 0};
  TempDir tmp;
  ASSERT_EQ(SaveFile(doc, tmp / "c.qyd"), 0);
  NoteDocument back;
  ASSERT_EQ(LoadFile(back, tmp / "c.qyd"), 0);
  ASSERT_EQ(back.GetNodeCount(), 1);
  const NoteNode& m = back.GetNodeByIdx(0);
  EXPECT_EQ(m.GetTitle(), n.GetTitle());
  EXPECT_EQ(m.m_strKeywords, ";a;b;");
  EXPECT_EQ(m.m_strSourceLanguage, "c++");
  EXPECT_TRUE(m.m_bReadOnly && m.m_bTemplate && m.m_bFinished && m.m_bExpanded);
  EXPECT_EQ(m.m_nDateCreated, 1700000000);
  EXPECT_EQ(m.m_nDateModified, 1700000001);
  EXPECT_TRUE(m.m_objTask.IsValid());
  EXPECT_TRUE(m.m_objTask.dateDue.IsEmpty());
  EXPECT_EQ(m.m_objTask.dateCreated.GetValue(), 10);
  EXPECT_EQ(m.m_objTask.nPriority, 2);
  EXPECT_EQ(m.m_objTask.nStatus, 3);
  EXPECT_EQ(m.m_objTask.nRepeat, 4);
  EXPECT_EQ(m.m_objTask.strScriptPath, "/p");
  EXPECT_EQ(m.m_lstCustomProperties, n.m_lstCustomProperties);
  EXPECT_TRUE(m.m_bUseNoteBkgColor);
  EXPECT_EQ(m.m_clrNoteBkg.red >> 8, 0xFF);
  EXPECT_EQ(m.m_clrNoteBkg.green >> 8, 0x80);
  EXPECT_EQ(ReadFile(tmp / "c.qyd"), SaveString(back));
}

TEST(HtmlRoundTrip, BulletsDoNotGrow) {
  // The bullet character is implicit in the file (the reader puts it back at
  // every line start), so a bold range that starts on it starts after it
  // once reloaded; from then on nothing moves and no bullet is added.
  const std::string bullet = "\xE2\x80\xA2";
  NoteDocument doc;
  NoteNode& n = AddNote(doc, "", "N", "t", bullet + "x\n" + "y");
  for (const FmtInfo& t : {Tag(11, 0), Tag(13, 0), Tag(1, 0), Tag(2, 2), Tag(14, 3), Tag(12, 3)})
    n.m_objText.m_lstFmt.Append(t);
  TempDir tmp;
  std::string path = tmp / "b.qyd";
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(SaveFile(doc, path), 0);
    NoteDocument back;
    ASSERT_EQ(LoadFile(back, path), 0);
    EXPECT_EQ(Describe(back.GetNodeByIdx(0).m_objText),
              "text[" + bullet + "x\ny] f11@0 f13@0 f1@1 f2@2 f14@3 f12@3")
        << "round " << round;
    doc.GetNodeByIdx(0).m_objText = back.GetNodeByIdx(0).m_objText;
  }
}

TEST(HtmlRoundTrip, RandomRichText) {
  std::mt19937 rng(20240607);
  NoteDocument doc;
  std::vector<std::string> ids;
  for (int i = 0; i < 200; ++i) {
    const std::string id = "id" + std::to_string(i);
    NoteNode& n = AddNote(doc, i % 3 == 0 || ids.empty() ? "" : ids[rng() % ids.size()], id, "note " + id);
    RandomNote gen(rng);
    gen.Fill(n, ids);
    if (rng() % 3 == 0) gen.AddPicture(n);
    ids.push_back(id);
  }
  TempDir tmp;
  ASSERT_EQ(SaveFile(doc, tmp / "r.qyd"), 0);
  NoteDocument back;
  ASSERT_EQ(LoadFile(back, tmp / "r.qyd"), 0);
  ASSERT_EQ(back.GetNodeCount(), doc.GetNodeCount());
  EXPECT_EQ(Shape(back), Shape(doc));
  for (int i = 0; i < doc.GetNodeCount(); ++i) {
    const NoteNode& a = doc.GetNodeByIdx(i);
    const NoteNode& b = back.GetNodeByIdx(back.GetIdxFromID(a.m_strID));
    EXPECT_EQ(Describe(b.m_objText), Describe(a.m_objText)) << a.m_strID;
  }
  ASSERT_EQ(SaveFile(back, tmp / "r2.qyd"), 0);
  EXPECT_EQ(ReadFile(tmp / "r2.qyd"), ReadFile(tmp / "r.qyd"));
}
