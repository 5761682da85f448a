#include <gtest/gtest.h>

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <set>
#include <string>

#include "base/Log.h"
#include "model/BookmarkList.h"
#include "model/InternalIcons.h"
#include "model/NoteDocument.h"

TEST(DocumentTest, GeneratedIdsAreUniqueAndWellFormed) {
  NoteDocument doc;
  std::set<std::string> ids;
  std::string id;
  for (int i = 0; i < 100000; ++i) {
    doc.GenerateUniqueNodeID(id);
    ASSERT_EQ(id.size(), 22u);
    ASSERT_EQ(id.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"),
              std::string::npos);
    ids.insert(id);
  }
  EXPECT_EQ(ids.size(), 100000u);
}

TEST(DocumentTest, CloneRelations) {
  NoteDocument doc;
  const int orig = doc.NodeInsert("", -1);
  const int clone = doc.NodeInsert("", -1);
  const int orphan = doc.NodeInsert("", -1);
  const std::string origID = doc.GetNodeByIdx(orig).m_strID;
  const std::string cloneID = doc.GetNodeByIdx(clone).m_strID;
  doc.GetNodeByIdx(clone).m_strCloneOf = origID;
  doc.GetNodeByIdx(orphan).m_strCloneOf = "missing";

  quillery::LogCapture cap;
  doc.RefreshCloneMaps();
  EXPECT_TRUE(cap.Contains("missing"));  // the orphan is logged and skipped
  EXPECT_EQ(doc.GetClones(origID), (std::set<std::string>{cloneID}));
  EXPECT_TRUE(doc.GetClones("missing").empty());

  int idx = -1;
  EXPECT_EQ(&doc.GetOriginalByIdx(clone, &idx), &doc.GetNodeByIdx(orig));
  EXPECT_EQ(idx, orig);
  cap.Clear();
  EXPECT_EQ(&doc.GetOriginalByIdx(orphan, &idx), &doc.GetNodeByIdx(orphan));
  EXPECT_EQ(idx, orphan);
  EXPECT_TRUE(cap.Contains("missing", LOG_WARNING));
  EXPECT_EQ(&doc.GetOriginalByIdx(orig), &doc.GetNodeByIdx(orig));

  EXPECT_TRUE(doc.RemapCloneRelation(origID, {{cloneID, "renamed"}}));
  EXPECT_EQ(doc.GetClones(origID), (std::set<std::string>{"renamed"}));
  EXPECT_FALSE(doc.RemapCloneRelation(origID, {{"other", "x"}}));
  EXPECT_FALSE(doc.UnregisterCloneRelation(cloneID, origID));
  EXPECT_TRUE(doc.UnregisterCloneRelation("renamed", origID));
  EXPECT_TRUE(doc.GetClones(origID).empty());

  doc.RegisterCloneRelation("a", origID);
  doc.RegisterCloneRelation("b", origID);
  doc.UnregisterAllCloneRelation(origID);
  EXPECT_TRUE(doc.GetClones(origID).empty());
}

TEST(DocumentTest, KeywordMapsAndTagQuoting) {
  std::string t = "a;b";
  tag_list_quote(t);
  EXPECT_EQ(t, ";a;b;");
  std::string empty;
  tag_list_quote(empty);
  EXPECT_EQ(empty, "");
  std::string q = ";a;";
  tag_list_quote(q);
  EXPECT_EQ(q, ";a;");

  NoteDocument doc;
  NoteNode n1, n2;
  n1.SetKeywords(";a;b;");
  n2.SetKeywords(";b;c;");
  std::map<std::string, int> counts;
  doc.UpdateNodeKeywordsMap(n1, counts, true, false);
  doc.UpdateNodeKeywordsMap(n2, counts, true, false);
  EXPECT_EQ(counts, (std::map<std::string, int>{{"a", 1}, {"b", 2}, {"c", 1}}));
  doc.UpdateNodeKeywordsMap(n1, counts, false, false);
  EXPECT_EQ(counts, (std::map<std::string, int>{{"b", 1}, {"c", 1}}));
}

TEST(DocumentTest, BookmarksAndIcons) {
  BookmarkList b;
  EXPECT_TRUE(b.Insert("one", "1.2"));
  EXPECT_TRUE(b.Insert("zero", "ID0", 0));
  EXPECT_FALSE(b.Insert("one", "other"));
  ASSERT_EQ(b.GetCount(), 2);
  EXPECT_EQ(b.GetBookTitle(0), "zero");
  EXPECT_EQ(b.GetBookPath(1), "1.2");

  EXPECT_EQ(InternalIcon_Name2Index("no such icon"), -1);
  EXPECT_EQ(InternalIcon_Index2Name(-1), "");
  EXPECT_EQ(InternalIcon_Index2Name(InternalIcon_Count()), "");
  for (int i = 0; i < InternalIcon_Count(); ++i)
    EXPECT_EQ(InternalIcon_Name2Index(InternalIcon_Index2Name(i)), i);
}

TEST(DocumentTest, SetTextHashes) {
  NoteNode n;
  n.SetText("abc", nullptr, nullptr, true);
  EXPECT_EQ(n.m_strHash, "a9993e364706816aba3e25717850c26c9cd0d89d");
  std::string html;
  ASSERT_EQ(n.CalcHtmlHash(html), 0);
  EXPECT_EQ(n.m_strHashHtml, html);
  n.SetText("xyz", "given", "", false);
  EXPECT_EQ(n.m_strHash, "given");
  EXPECT_EQ(n.m_strHashHtml, "");
  n.SetText(nullptr);
  EXPECT_EQ(n.GetText(), "");
}

TEST(DocumentTest, ClearAndCopyData) {
  NoteDocument doc;
  const int a = doc.NodeInsert("", -1);
  const int b = doc.NodeInsert("", -1);
  NoteNode& na = doc.GetNodeByIdx(a);
  na.SetTitle("A");
  na.SetText("text");
  na.m_lstAttachments.push_back(AttInfo());
  na.m_objLink.strLink = "http://x";
  na.m_nSelStart = 3;
  NoteNode& nb = doc.GetNodeByIdx(b);
  const std::string idB = nb.m_strID;
  nb.m_nSibling = 1;
  nb.CopyData(na);
  EXPECT_EQ(nb.m_strID, idB);
  EXPECT_EQ(nb.m_nSibling, 1);
  EXPECT_EQ(nb.GetTitle(), "A");
  EXPECT_EQ(nb.GetText(), "text");
  na.Clear(true);
  EXPECT_EQ(na.GetText(), "");
  EXPECT_TRUE(na.m_lstAttachments.empty());
  EXPECT_FALSE(na.m_objLink.IsValid());
  EXPECT_EQ(na.m_nSelStart, 3);
  na.Clear(false);
  EXPECT_EQ(na.m_nSelStart, 0);
  EXPECT_EQ(na.GetTitle(), "A");
}

namespace {

std::string TinyPng() {
  GdkPixbuf* pix = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 4, 3);
  gdk_pixbuf_fill(pix, 0xff000000);
  char* buf = nullptr;
  gsize len = 0;
  gdk_pixbuf_save_to_buffer(pix, &buf, &len, "png", nullptr, nullptr);
  std::string out(buf, len);
  g_free(buf);
  g_object_unref(pix);
  return out;
}

}  // namespace

TEST(DocumentTest, PicturesKeepTheirBytes) {
  const std::string png = TinyPng();
  NoteDocument doc;
  NoteNode& n = doc.GetNodeByIdx(doc.NodeInsert("", -1));
  EXPECT_TRUE(doc.AddNotePicture(n, 0, "p", png, true, -1, -1));
  EXPECT_FALSE(doc.AddNotePicture(n, 0, "again", png, true, -1, -1));  // offset taken
  EXPECT_FALSE(doc.AddNotePicture(n, 1, "empty", "", true, -1, -1));
  EXPECT_FALSE(doc.AddNotePicture(n, 2, "garbage", "not a picture", true, 8, 8));
  EXPECT_TRUE(doc.AddNotePicture(n, 1, "scaled", png, true, 8, -1));

  PictureList& pics = n.m_objText.m_lstPictures;
  ASSERT_EQ(pics.GetSize(), 2);
  EXPECT_EQ(pics[0].GetPixbufIfDecoded(), nullptr);  // not decoded until needed
  char* buf = nullptr;
  gsize len = 0;
  ASSERT_TRUE(pics[0].SaveToBuffer(&buf, &len));
  EXPECT_EQ(std::string(buf, len), png);  // stored bytes come back unchanged
  g_free(buf);
  ASSERT_TRUE(pics[0].SaveToBuffer(&buf, &len, "jpeg"));  // another format decodes and encodes
  EXPECT_EQ(static_cast<unsigned char>(buf[0]), 0xFF);
  g_free(buf);
  EXPECT_NE(pics[0].GetPixbufIfDecoded(), nullptr);
  ASSERT_NE(pics[1].GetPixbuf(), nullptr);
  EXPECT_EQ(gdk_pixbuf_get_width(pics[1].GetPixbuf()), 8);
  EXPECT_EQ(gdk_pixbuf_get_height(pics[1].GetPixbuf()), 6);

  EXPECT_EQ(PixInfo::LoadFromBuffer("garbage", 7, -1), nullptr);
  EXPECT_EQ(PixInfo::LoadFromBuffer(png.data(), 0, -1), nullptr);
  int pngSize = 0, jpgSize = 0;
  GetPictureMemorySizes(nullptr, pngSize, jpgSize);
  EXPECT_EQ(pngSize, -1);
  EXPECT_EQ(jpgSize, -1);
  GetPictureMemorySizes(pics[0].GetPixbuf(), pngSize, jpgSize);
  EXPECT_GT(pngSize, 0);
  EXPECT_GT(jpgSize, 0);

  PixInfo copy = pics[0];  // a copy shares the image with one more reference
  EXPECT_EQ(copy.GetPixbufIfDecoded(), pics[0].GetPixbufIfDecoded());
  pics.Remove(0);
  EXPECT_NE(copy.GetPixbuf(), nullptr);
}
