// The document comparison used by round-trip checks: equal documents compare
// equal whatever their note order, and every kind of change is found and
// named in the difference line.

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "common/NoteBuilder.h"
#include "model/DocumentCompare.h"
#include "model/InternalIcons.h"
#include "model/NoteDocument.h"

using quillery::CompareDocuments;
using quillery::DocCompareOptions;
using quillery_test::AddNote;

namespace {

std::string Png(int compression) {
  GdkPixbuf* pix = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 8, 6);
  guchar* p = gdk_pixbuf_get_pixels(pix);
  for (int i = 0; i < gdk_pixbuf_get_rowstride(pix) * 6; ++i) p[i] = static_cast<guchar>(i * 7);
  gchar* buf = nullptr;
  gsize len = 0;
  const std::string level = std::to_string(compression);
  gdk_pixbuf_save_to_buffer(pix, &buf, &len, "png", nullptr, "compression", level.c_str(), nullptr);
  std::string out(buf, len);
  g_free(buf);
  g_object_unref(pix);
  return out;
}

// A small document with one of everything; `reversed` adds the notes in the
// opposite order (same tree, other note indices).
void Build(NoteDocument& doc, bool reversed = false, int pictureCompression = 9) {
  doc.SetTitle("Doc");
  doc.SetAuthor("Ann");
  doc.SetUID("UIDUIDUIDUIDUIDUIDUID1");
  doc.m_lstCustomProperties.emplace_back("k", "v");
  doc.m_mapDeletedNotes["gone"] = 1;
  doc.m_mapAnchors["top"] = "A";
  auto first = [&]() {
    NoteNode& a = AddNote(doc, "", "A", "title A");
    a.m_objText.SetText("Hello world");
    FmtInfo bold(FMT_COLOR_BEGIN, 0);
    bold.color.red = 0x1111;
    a.m_objText.m_lstFmt.Append(bold);
    a.m_objText.m_lstFmt.Append(FmtInfo(FMT_COLOR_END, 5));
    LinkInfo link;
    link.strTargetID = "B";
    link.nStartOffset = 6;
    link.nTextLength = 5;
    a.m_objText.m_lstLinks.Append(link);
    a.m_objText.m_lstAnchors.Append(AnchorInfo("top", 0));
    PixInfo pix;
    pix.strEncoded = Png(pictureCompression);
    pix.nOffset = 11;
    pix.strName = "p.png";
    a.m_objText.m_lstPictures.Push(pix);
    AttInfo att;
    att.strName = "f.txt";
    att.strData = "data";
    att.nDataSize = 4;
    a.m_lstAttachments.push_back(att);
    a.m_objTask.SetValid(true);
    a.m_objTask.dateDue = 1600000000;
  };
  auto second = [&]() {
    NoteNode& b = AddNote(doc, "A", "B", "title B");  // before A when reversed
    b.SetKeywords(";x;");
    b.m_lstCustomProperties.emplace_back("p", "q");
  };
  if (reversed) {
    second();
    first();
  } else {
    first();
    second();
  }
  doc.RebuildMap();
}

// Builds two equal documents, changes the second, and returns the comparison.
bool CompareAfter(const std::function<void(NoteDocument&)>& change, std::string* diff,
                  const DocCompareOptions& opt = DocCompareOptions()) {
  NoteDocument a, b;
  Build(a);
  Build(b);
  change(b);
  return CompareDocuments(a, b, diff, opt);
}

NoteNode& Note(NoteDocument& d, const std::string& id) { return d.GetNodeByIdx(d.GetIdxFromID(id)); }

TEST(DocumentCompare, EqualDocumentsAndNoteOrder) {
  NoteDocument a, b, c;
  Build(a);
  Build(b, true);
  Build(c, false, 0);  // the same picture, stored with other compression
  std::string diff = "unchanged?";
  EXPECT_TRUE(CompareDocuments(a, b, &diff)) << diff;
  EXPECT_TRUE(diff.empty());
  EXPECT_TRUE(CompareDocuments(a, c, &diff)) << diff;
  EXPECT_NE(Png(0), Png(9));
}

TEST(DocumentCompare, EveryKindOfChangeIsNamed) {
  struct Case {
    const char* expect;
    std::function<void(NoteDocument&)> change;
  };
  const Case cases[] = {
      {"document: title", [](NoteDocument& d) { d.SetTitle("Other"); }},
      {"document: UID", [](NoteDocument& d) { d.SetUID("x"); }},
      {"deleted-note records", [](NoteDocument& d) { d.m_mapDeletedNotes.clear(); }},
      {"custom properties 0: value", [](NoteDocument& d) { d.m_lstCustomProperties[0].strValue = "w"; }},
      {"bookmarks", [](NoteDocument& d) { d.GetBookmarkList().Insert("b", "A"); }},
      {"anchor", [](NoteDocument& d) { d.m_mapAnchors["top"] = "B"; }},
      {"note 0 [A] \"title A\": text: \"Hello world\" vs \"Hello there\"",
       [](NoteDocument& d) { Note(d, "A").m_objText.SetText("Hello there"); }},
      {"title differs at byte 0: \"title A\" vs \"xxx", [](NoteDocument& d) { Note(d, "A").SetTitle(std::string(60, 'x')); }},
      {"formatting tag 0: colour", [](NoteDocument& d) { Note(d, "A").m_objText.m_lstFmt[0].color.blue = 1; }},
      {"formatting tag 1: offset", [](NoteDocument& d) { Note(d, "A").m_objText.m_lstFmt[1].nOffset = 4; }},
      {"formatting tags: 2 vs 3", [](NoteDocument& d) { Note(d, "A").m_objText.m_lstFmt.Append(FmtInfo(1, 0)); }},
      {"link 0: target", [](NoteDocument& d) { Note(d, "A").m_objText.m_lstLinks[0].strTargetID = "C"; }},
      {"anchor 0: offset", [](NoteDocument& d) { Note(d, "A").m_objText.m_lstAnchors[0].nOffset = 1; }},
      {"picture 0: image differs", [](NoteDocument& d) { Note(d, "A").m_objText.m_lstPictures[0].strEncoded = Png(9).substr(0, 40); }},
      {"attachment 0: data", [](NoteDocument& d) { Note(d, "A").m_lstAttachments[0].strData = "dat!"; }},
      {"task due time", [](NoteDocument& d) { Note(d, "A").m_objTask.dateDue = 1600000001; }},
      {"note 1 [B] \"title B\": tags", [](NoteDocument& d) { Note(d, "B").SetKeywords(";y;"); }},
      {"parent", [](NoteDocument& d) { Note(d, "B").m_strParentID = ""; }},
      {"missing in the second document", [](NoteDocument& d) { d.NodeInitID(d.GetIdxFromID("B"), "Z"); }},
  };
  for (const Case& c : cases) {
    std::string diff;
    EXPECT_FALSE(CompareAfter(c.change, &diff)) << c.expect;
    EXPECT_NE(diff.find(c.expect), std::string::npos) << "expected [" << c.expect << "] in: " << diff;
  }
}

TEST(DocumentCompare, WhatIsNotComparedOrMayBeSkipped) {
  std::string diff;
  // End tags carry no attributes of their own; the colour's pixel value is no colour.
  EXPECT_TRUE(CompareAfter([](NoteDocument& d) { Note(d, "A").m_objText.m_lstFmt[1].color.red = 5; }, &diff)) << diff;
  EXPECT_TRUE(CompareAfter([](NoteDocument& d) { Note(d, "A").m_objText.m_lstFmt[0].color.pixel = 5; }, &diff))
      << diff;
  // View state and derived counts.
  EXPECT_TRUE(CompareAfter(
      [](NoteDocument& d) {
        Note(d, "A").m_nSelStart = 3;
        d.m_mapTagUseCount["x"] = 1;
      },
      &diff))
      << diff;
  // A save under a new name makes a new UID and drops deletion records.
  DocCompareOptions loose;
  loose.bUID = loose.bDeletions = false;
  EXPECT_TRUE(CompareAfter(
      [](NoteDocument& d) {
        d.SetUID("new");
        d.m_mapDeletedNotes.clear();
      },
      &diff, loose))
      << diff;
  // A clone's own text is not its content.
  EXPECT_TRUE(CompareAfter(
      [](NoteDocument& d) {
        Note(d, "B").m_strCloneOf = "A";
        Note(d, "B").m_objText.SetText("shown from A");
      },
      &diff) == false);
  NoteDocument a, b;
  Build(a);
  Build(b);
  Note(a, "B").m_strCloneOf = Note(b, "B").m_strCloneOf = "A";
  Note(b, "B").m_objText.SetText("shown from A");
  EXPECT_TRUE(CompareDocuments(a, b, &diff)) << diff;
}

TEST(DocumentCompare, LastNoteByIdAndHashesOnlyWhenBothAreKnown) {
  NoteDocument a, b;
  Build(a);
  Build(b, true);  // the same notes in the other order
  a.m_nLastNoteIdx = a.GetIdxFromID("B");
  b.m_nLastNoteIdx = b.GetIdxFromID("B");
  ASSERT_NE(a.m_nLastNoteIdx, b.m_nLastNoteIdx);
  std::string diff;
  EXPECT_TRUE(CompareDocuments(a, b, &diff)) << diff;
  b.m_nLastNoteIdx = b.GetIdxFromID("A");
  EXPECT_FALSE(CompareDocuments(a, b, &diff));
  EXPECT_NE(diff.find("last note"), std::string::npos) << diff;
  b.m_nLastNoteIdx = b.GetIdxFromID("B");

  // A hash not computed yet is no difference; two computed ones are compared.
  Note(a, "A").m_strHash = "1234";
  Note(b, "A").m_strHash.clear();
  EXPECT_TRUE(CompareDocuments(a, b, &diff)) << diff;
  Note(b, "A").m_strHash = "5678";
  EXPECT_FALSE(CompareDocuments(a, b, &diff));
  EXPECT_NE(diff.find("text hash"), std::string::npos) << diff;
}

TEST(DocumentCompare, BuiltInIconsCompareByName) {
  // The native format holds a built-in icon as its index and name, a database
  // as type 0 with the name: the same icon either way.
  const std::string name = InternalIcon_Index2Name(5);
  ASSERT_FALSE(name.empty());
  auto set = [](NoteDocument& d, int type, const std::string& path) {
    Note(d, "A").m_nIconType = type;
    Note(d, "A").m_strIconPath = path;
  };
  NoteDocument a, b;
  Build(a);
  Build(b);
  set(a, 5, name);
  set(b, 0, name);
  std::string diff;
  EXPECT_TRUE(CompareDocuments(a, b, &diff)) << diff;
  set(a, 5, "");
  EXPECT_TRUE(CompareDocuments(a, b, &diff)) << diff;
  set(b, 0, InternalIcon_Index2Name(6));
  EXPECT_FALSE(CompareDocuments(a, b, &diff));
  EXPECT_NE(diff.find("built-in icon"), std::string::npos) << diff;
  set(b, ICON_FILE, name);
  EXPECT_FALSE(CompareDocuments(a, b, &diff));
  EXPECT_NE(diff.find("icon type"), std::string::npos) << diff;
}

TEST(DocumentCompare, AStopEndsItWithoutAVerdictOfEqual) {
  NoteDocument a, b;
  Build(a);
  Build(b);
  DocCompareOptions o;
  o.stop = []() { return true; };
  std::string diff;
  EXPECT_FALSE(CompareDocuments(a, b, &diff, o));
  EXPECT_NE(diff.find("stopped"), std::string::npos) << diff;
}

}  // namespace
