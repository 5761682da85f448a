// Save -> load -> save of a document that uses every feature of the format:
// every field comes back equal and the second file is byte-identical. The
// losses that the format has by design are named in their own test.

#include <gtest/gtest.h>
#include <gdk-pixbuf/gdk-pixbuf.h>

#include "HtmlReaderTestUtil.h"
#include "common/NoteBuilder.h"
#include "model/InternalIcons.h"

using namespace qyread;

namespace {

const std::string kOdd = "\"q' <a> & b\"";  // every character that needs care

std::string EncodeImage(const char* type) {
  GdkPixbuf* pix = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 5, 3);
  gdk_pixbuf_fill(pix, 0x80402000);
  gchar* buf = nullptr;
  gsize len = 0;
  gdk_pixbuf_save_to_buffer(pix, &buf, &len, type, nullptr, nullptr);
  std::string out(buf, len);
  g_free(buf);
  g_object_unref(pix);
  return out;
}

GdkColor Color(int r, int g, int b) {
  GdkColor c = {0, static_cast<guint16>(r * 257), static_cast<guint16>(g * 257), static_cast<guint16>(b * 257)};
  return c;
}

std::string Hex(const GdkColor& c) {
  char buf[16];
  snprintf(buf, sizeof(buf), "%02x%02x%02x", c.red >> 8, c.green >> 8, c.blue >> 8);
  return buf;
}

std::string Describe(const NoteNode& n) {
  std::string s = n.m_strID + "|" + n.m_strParentID + "/" + std::to_string(n.m_nSibling) + "|" + n.m_strCloneOf +
                  "|" + n.GetTitle() + "|" + n.GetText() + "|icon " + std::to_string(n.m_nIconType) + " " +
                  n.m_strIconPath + "|" + std::to_string(n.m_nDateCreated) + "," +
                  std::to_string(n.m_nDateModified) + "|flags " + std::to_string(n.m_bFinished) +
                  std::to_string(n.m_bExpanded) + std::to_string(n.m_bReadOnly) + std::to_string(n.m_bTemplate) +
                  "|" + n.m_strHash + "," + n.m_strHashHtml + "|" + n.m_strKeywords + "|" + n.m_strSourceLanguage;
  const Task& t = n.m_objTask;
  s += "|task " + std::to_string(t.IsValid()) + " " + t.dateCreated.GetSqlString() + " " + t.dateDue.GetSqlString() +
       " " + t.dateCompleted.GetSqlString() + " " + t.dateExpire.GetSqlString() + " " +
       t.dateLastAck.GetSqlString() + " " + std::to_string(t.nPriority) + std::to_string(t.nStatus) +
       std::to_string(t.nRepeat) + " " + t.strSoundPath + " " + t.strScriptPath;
  for (const CustomProperty& p : n.m_lstCustomProperties) s += "|cp " + p.strName + "=" + p.strValue;
  s += "|title colours " + std::to_string(n.m_bUseTxtColor) + Hex(n.m_clrTxt) + std::to_string(n.m_bUseBkgColor) +
       Hex(n.m_clrBkg) + std::to_string(n.m_bUseFont) + n.m_strCustomFont + " bkg " +
       std::to_string(n.m_bUseNoteBkgColor) + Hex(n.m_clrNoteBkg);
  s += "|own " + n.m_objLink.strLink + "#" + n.m_objLink.strTargetID + "@" + std::to_string(n.m_objLink.nStartOffset);
  for (const AttInfo& a : n.m_lstAttachments)
    s += "|att " + a.strName + ":" + a.strData + ":" + std::to_string(a.nDataSize) + ":" + a.strHash + ":" +
         a.strCode + ":" + a.strTarget;
  const RichText& rt = n.m_objText;
  for (const FmtInfo& f : rt.m_lstFmt.Items())
    s += " f" + std::to_string(f.nFormatTag) + "@" + std::to_string(f.nOffset) + ":" + Hex(f.color) + ":" +
         f.strFont + ":" + std::to_string(f.nValue);
  for (const LinkInfo& l : rt.m_lstLinks.Items())
    s += " l" + l.strLink + "#" + l.strTargetID + "@" + std::to_string(l.nStartOffset) + "+" +
         std::to_string(l.nTextLength) + (l.bRelative ? "r" : "a");
  for (const AnchorInfo& a : rt.m_lstAnchors.Items()) s += " a" + a.strName + "@" + std::to_string(a.nOffset);
  for (const PixInfo& p : rt.m_lstPictures.Items())
    s += " p" + p.strName + "@" + std::to_string(p.nOffset) + (p.bPNG ? "png" : "jpg") +
         std::to_string(std::hash<std::string>()(p.strEncoded));
  return s;
}

std::string DescribeDocument(NoteDocument& doc) {
  std::string s = doc.GetTitle() + "|" + doc.GetAuthor() + "|" + doc.GetUID() + "|" +
                  std::to_string(doc.IsReadOnly()) + "|" + std::to_string(doc.m_nPropModifiedTime) + "|" +
                  std::to_string(doc.m_nLastNoteIdx);
  for (int i = 0; i < doc.GetBookmarkList().GetCount(); ++i)
    s += "|bm " + doc.GetBookmarkList().GetBookTitle(i) + "=" + doc.GetBookmarkList().GetBookPath(i);
  for (const CustomProperty& p : doc.m_lstCustomProperties) s += "|cp " + p.strName + "=" + p.strValue;
  for (const auto& d : doc.m_mapDeletedNotes) s += "|dn " + d.first;
  for (const auto& d : doc.m_mapDeletedAttachments) s += "|da " + d.first;
  for (const PixInfo& p : doc.m_lstCustomIcons.Items())
    s += "|icon " + std::to_string(p.nOffset) + (p.bPNG ? "png" : "jpg") + std::to_string(p.strEncoded.size());
  for (int i = 0; i < doc.GetNodeCount(); ++i) s += "\n" + Describe(doc.GetNodeByIdx(i));
  return s;
}

FmtInfo Tag(int tag, int offset) { return FmtInfo(tag, offset); }
FmtInfo Colored(int tag, int offset, const GdkColor& c) {
  FmtInfo f(tag, offset);
  f.color = c;
  return f;
}

// A note with dates of its own (the modification after 2038).
NoteNode& Add(NoteDocument& doc, const std::string& parent, const std::string& id, const std::string& title) {
  const int idx = doc.GetNodeCount();
  NoteNode& n = quillery_test::AddNote(doc, parent, id, title);
  n.m_nDateCreated = 1700000000 + idx;
  n.m_nDateModified = 4102444800LL + idx;
  return n;
}

// The document of the acceptance list.
void Build(NoteDocument& doc, const TempDir& tmp) {
  doc.SetTitle("Doc " + kOdd);
  doc.SetAuthor("Author " + kOdd);
  doc.SetUID("DOCUIDDOCUIDDOCUIDDOCU");
  doc.m_nPropModifiedTime = 1700000123;
  doc.m_nLastNoteIdx = 2;
  doc.GetBookmarkList().Insert("mark one", "1/1");
  doc.GetBookmarkList().Insert("mark 'two' & <more>", "GRANDCHILD");
  doc.m_lstCustomProperties.emplace_back("doc prop", "value " + kOdd);
  doc.m_lstCustomProperties.emplace_back("empty", "");
  doc.m_mapDeletedNotes["DELETEDNOTE"] = 1;
  doc.m_mapDeletedAttachments["DELETEDATT"] = 1;

  NoteNode& p = Add(doc, "", "PARENTPARENTPARENTPARE", "Parent " + kOdd + "\nline two");
  p.m_bUseTxtColor = p.m_bUseBkgColor = p.m_bUseFont = true;
  p.m_clrTxt = Color(255, 0, 0);
  p.m_clrBkg = Color(0, 0, 255);
  p.m_strCustomFont = "Serif Italic 14";
  p.m_nIconType = InternalIcon_Name2Index("star");
  p.m_strIconPath = "star";
  p.m_strKeywords = ";tag one;b&c;";
  p.m_strSourceLanguage = "c++";
  p.m_bFinished = p.m_bExpanded = p.m_bReadOnly = p.m_bTemplate = true;
  p.m_strHash = std::string(40, 'a');
  p.m_strHashHtml = std::string(40, 'b');
  Task& t = p.m_objTask;
  t.SetValid(true);
  t.dateCreated = 1600000001;
  t.dateDue = 1600000002;
  t.dateCompleted = 1600000003;
  t.dateExpire = 1600000004;
  t.dateLastAck = 1600000005;
  t.nPriority = 4;
  t.nStatus = 2;
  t.nRepeat = 7;
  t.strSoundPath = "/snd/a b.wav";
  t.strScriptPath = "/bin/run 'x'";
  p.m_lstCustomProperties.emplace_back("note prop " + kOdd, "v " + kOdd);
  p.m_bUseNoteBkgColor = true;
  p.m_clrNoteBkg = Color(0xee, 0xdd, 0xcc);
  p.m_objLink.strLink = "http://own.example/p?a=1&b=2#frag";
  p.m_objLink.RecalcRelative();

  // Every formatting kind, paragraphs, a list and three kinds of links.
  const std::string b = "\xE2\x80\xA2";
  p.m_objText.SetText("B I U S C K F p b\nR\nM\nJ\nL\n" + b + "one\n" + b + "two\nlink ext doc\n");
  FmtInfo font(17, 12), fontEnd(18, 13), spacing(31, 24), spacingEnd(32, 25);
  font.strFont = fontEnd.strFont = "Sans Bold 12";
  spacing.nValue = spacingEnd.nValue = 150;
  for (const FmtInfo& f :
       {Tag(1, 0), Tag(2, 1), Tag(3, 2), Tag(4, 3), Tag(5, 4), Tag(6, 5), Tag(9, 6), Tag(10, 7),
        Colored(7, 8, Color(1, 2, 3)), Colored(8, 9, Color(1, 2, 3)), Colored(15, 10, Color(250, 250, 0)),
        Colored(16, 11, Color(250, 250, 0)), font, fontEnd, Tag(25, 14), Tag(26, 15), Tag(27, 16), Tag(28, 17),
        Tag(21, 18), Tag(22, 19), Tag(23, 20), Tag(24, 21), Tag(29, 22), Tag(30, 23), spacing, spacingEnd,
        Tag(11, 26), Tag(13, 26), Tag(14, 31), Tag(13, 31), Tag(14, 36), Tag(12, 36)})
    p.m_objText.m_lstFmt.Append(f);
  LinkInfo internal, external, docLink;
  internal.strTargetID = "GRANDCHILDGRANDCHILDGR";
  internal.nStartOffset = 36;
  internal.nTextLength = 4;
  external.strLink = "http://e.example/x%20y?a=1&b=<2>#frag";
  external.nStartOffset = 41;
  external.nTextLength = 3;
  docLink.strLink = "file:///d/other.qyd";
  docLink.strTargetID = "NOTEINOTHERDOC";
  docLink.nStartOffset = 45;
  docLink.nTextLength = 3;
  for (LinkInfo* l : {&internal, &external, &docLink}) {
    l->RecalcRelative();
    p.m_objText.m_lstLinks.Append(*l);
  }
  p.m_objText.m_lstAnchors.Append(AnchorInfo("at link start " + kOdd, 36));
  p.m_objText.m_lstAnchors.Append(AnchorInfo("end", 48));

  NoteNode& c1 = Add(doc, p.m_strID, "CHILDONECHILDONECHILDO", "Child one");
  c1.m_nIconType = ICON_FILE;
  c1.m_strIconPath = tmp / "icon.png";
  WriteFile(c1.m_strIconPath, EncodeImage("png"));
  c1.m_objText.SetText("original text");

  NoteNode& c2 = Add(doc, p.m_strID, "CHILDTWOCHILDTWOCHILDT", "Child two");
  PixInfo icon;
  icon.strEncoded = EncodeImage("png");
  icon.nOffset = 0;
  icon.strName = c2.m_strID;
  doc.m_lstCustomIcons.Push(icon);
  doc.m_mapNoteIcon[c2.m_strID] = 0;
  doc.m_nCustomIconCounter = 1;
  c2.m_nIconType = ICON_CUSTOM;
  c2.m_strIconPath = "0";

  NoteNode& g = Add(doc, c2.m_strID, "GRANDCHILDGRANDCHILDGR", "Grandchild");
  g.m_objText.SetText("xy");
  doc.AddNotePicture(g, 1, "png " + kOdd, EncodeImage("png"), true, -1, -1);
  doc.AddNotePicture(g, 3, "jpeg", EncodeImage("jpeg"), false, -1, -1);
  AttInfo zero, three;
  zero.strName = "zero " + kOdd;
  zero.strCode = "CODEZERO";
  three.strName = "x name='y' href='z'";
  three.strData = "abc";
  three.nDataSize = 3;
  three.strHash = "a9993e364706816aba3e25717850c26c9cd0d89d";
  three.strCode = "CODETHREE";
  three.strTarget = "target";
  g.m_lstAttachments = {zero, three};
  g.m_bHasAttachments = true;

  NoteNode& clone = Add(doc, "", "CLONECLONECLONECLONECL", "A clone");
  clone.m_strCloneOf = c1.m_strID;
  doc.RefreshCloneMaps();
}

int Save(NoteDocument& doc, const std::string& path) {
  RecursiveTreeWalker walker(doc, WALK_ALL, -1);
  FormatIO_HTML fmt;
  return fmt.Save(path.c_str(), walker);
}

}  // namespace

TEST(HtmlReaderRoundTrip, GoldenFileReloadsByteIdentically) {
  std::string golden = ReadFile(std::string(QY_SOURCE_DIR) + "/tests/formats/native/data/writer_golden.qyd");
  NoteDocument doc;
  ASSERT_EQ(0, LoadString(doc, golden));
  EXPECT_EQ(3, doc.GetNodeCount());
  EXPECT_EQ(golden, SaveString(doc));
}

TEST(HtmlReaderRoundTrip, EveryFeatureComesBackEqual) {
  TempDir tmp;
  NoteDocument doc;
  Build(doc, tmp);
  ASSERT_EQ(0, Save(doc, tmp / "a.qyd"));
  NoteDocument back;
  FormatIO_HTML reader;
  ASSERT_EQ(0, reader.Load((tmp / "a.qyd").c_str(), back, -1));
  // The clone is written without its text: it reads back empty.
  EXPECT_EQ(DescribeDocument(doc), DescribeDocument(back));
  EXPECT_EQ(doc.GetNodeByIdx(4).m_strCloneOf, back.GetNodeByIdx(4).m_strCloneOf);
  EXPECT_EQ(std::set<std::string>{"CLONECLONECLONECLONECL"}, back.GetClones("CHILDONECHILDONECHILDO"));
  EXPECT_EQ(back.m_mapAnchors["end"], "PARENTPARENTPARENTPARE");

  // The second save gives the same bytes, and so does a third.
  ASSERT_EQ(0, Save(back, tmp / "b.qyd"));
  EXPECT_EQ(ReadFile(tmp / "a.qyd"), ReadFile(tmp / "b.qyd"));
  NoteDocument third;
  FormatIO_HTML reader3;
  ASSERT_EQ(0, reader3.Load((tmp / "b.qyd").c_str(), third, -1));
  ASSERT_EQ(0, Save(third, tmp / "c.qyd"));
  EXPECT_EQ(ReadFile(tmp / "a.qyd"), ReadFile(tmp / "c.qyd"));
}

TEST(HtmlReaderRoundTrip, LossesByDesign) {
  NoteDocument doc;
  NoteNode& n = Add(doc, "", "LOSSLOSSLOSSLOSSLOSSLO", "losses");
  n.m_objText.SetText("indent left colour spacing");
  FmtInfo indent(33, 0), indentEnd(34, 6), spacing(31, 19), spacingEnd(32, 26);
  indent.nValue = indentEnd.nValue = 40;
  spacing.nValue = spacingEnd.nValue = 130;
  GdkColor c = {0, 0x12ff, 0x3400, 0x56aa};
  for (const FmtInfo& f : {indent, indentEnd, Tag(19, 7), Tag(20, 11), Colored(7, 12, c), Colored(8, 18, c),
                           spacing, spacingEnd})
    n.m_objText.m_lstFmt.Append(f);
  n.m_objTask.SetValid(true);
  n.m_objTask.nAlarmMode = 3;
  NoteDocument back;
  ASSERT_EQ(0, LoadString(back, SaveString(doc)));
  const NoteNode& m = back.GetNodeByIdx(0);
  // Text indent and left alignment are not stored; colours keep their high
  // bytes; a line spacing other than 120, 150 or 200 reads as 100; the
  // alarm mode is not stored.
  const FmtInfoList& f = m.m_objText.m_lstFmt;
  ASSERT_EQ(4, f.GetSize());
  EXPECT_EQ(7, f[0].nFormatTag);
  EXPECT_EQ(0x1212, f[0].color.red);
  EXPECT_EQ(0x3434, f[0].color.green);
  EXPECT_EQ(0x5656, f[0].color.blue);
  EXPECT_EQ(31, f[2].nFormatTag);
  EXPECT_EQ(100, f[2].nValue);
  EXPECT_EQ(0, m.m_objTask.nAlarmMode);
  // From then on nothing changes.
  const std::string once = SaveString(back);
  NoteDocument again;
  ASSERT_EQ(0, LoadString(again, once));
  EXPECT_EQ(once, SaveString(again));
}
