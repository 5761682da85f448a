// Reading links, anchors, attachments, pictures and custom icons.

#include <gtest/gtest.h>
#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>

#include "HtmlReaderTestUtil.h"
#include "base/Base64.h"
#include "base/Log.h"

using namespace qyread;

namespace {

std::string EncodeImage(const char* type, int w, int h) {
  GdkPixbuf* pix = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, w, h);
  gdk_pixbuf_fill(pix, 0x336699ff);
  gchar* buf = nullptr;
  gsize len = 0;
  gdk_pixbuf_save_to_buffer(pix, &buf, &len, type, nullptr, nullptr);
  std::string out(buf, len);
  g_free(buf);
  g_object_unref(pix);
  return out;
}

std::string B64(const std::string& bytes) {
  std::string out;
  b64encode(bytes.data(), static_cast<int>(bytes.size()), out, true);
  return out;
}

NoteNode& Note(NoteDocument& doc, const std::string& text, const std::string& title = "T",
               const std::string& path = std::string()) {
  FormatIO_HTML fmt;
  fmt.m_strPath = path;
  EXPECT_EQ(0, LoadString(doc, OneNote(text, title), &fmt));
  return doc.GetNodeByIdx(0);
}

}  // namespace

TEST(HtmlReaderLinks, LinkKinds) {
  NoteDocument doc;
  NoteNode& n = Note(doc,
                     "<A href=\"#abc\">t</A> <A href=\"http://x/p%20q#f\">w</A> "
                     "<A href=\"file:///d/o.qyd#id\">d</A> <A href=\"file:///d/a%20b.txt\">f</A> "
                     "<A href=\"images/a.png\">r</A> <A href=\"file://http://y\">h</A> "
                     "<A href=\"data:text/plain;base64,\">e</A>",
                     "T", "/d/doc.qyd");
  const LinkInfoList& links = n.m_objText.m_lstLinks;
  ASSERT_EQ(6, links.GetSize());
  EXPECT_EQ("", links[0].strLink);
  EXPECT_EQ("abc", links[0].strTargetID);
  EXPECT_EQ(0, links[0].nStartOffset);
  EXPECT_EQ(1, links[0].nTextLength);
  EXPECT_EQ("http://x/p%20q#f", links[1].strLink);  // kept as written
  EXPECT_EQ("", links[1].strTargetID);
  EXPECT_EQ("file:///d/o.qyd", links[2].strLink);
  EXPECT_EQ("id", links[2].strTargetID);
  EXPECT_FALSE(links[2].bRelative);
  EXPECT_EQ("file:///d/a b.txt", links[3].strLink);
  EXPECT_EQ("file:////d/images/a.png", links[4].strLink);
  EXPECT_EQ("http://y", links[5].strLink);
  // An empty data URL is an attachment, not a link.
  ASSERT_EQ(1u, n.m_lstAttachments.size());
  EXPECT_EQ(0, n.m_lstAttachments[0].nDataSize);
}

// A quote that ends a properly quoted URL belongs to it.
TEST(HtmlReaderLinks, FinalQuotesOfQuotedUrlsSurvive) {
  NoteDocument doc;
  NoteNode& n = Note(doc, "<A href=\"http://x/a&quot;\">a</A> <A href=\"http://x/b'\">b</A>");
  const LinkInfoList& links = n.m_objText.m_lstLinks;
  ASSERT_EQ(links.GetSize(), 2);
  EXPECT_EQ("http://x/a\"", links[0].strLink);
  EXPECT_EQ("http://x/b'", links[1].strLink);
}

TEST(HtmlReaderLinks, AnchorsAndLinksThatStartAtThem) {
  NoteDocument doc;
  NoteNode& n = Note(doc, "<A name=\"top\"></A>a<A href=\"#x\"><A name=\"in\"></A>bc</A><A name=\"t2\">d</A>");
  ASSERT_EQ(2, n.m_objText.m_lstAnchors.GetSize());
  EXPECT_EQ("top", n.m_objText.m_lstAnchors[0].strName);
  EXPECT_EQ(0, n.m_objText.m_lstAnchors[0].nOffset);
  EXPECT_EQ("in", n.m_objText.m_lstAnchors[1].strName);
  EXPECT_EQ(1, n.m_objText.m_lstAnchors[1].nOffset);
  ASSERT_EQ(1, n.m_objText.m_lstLinks.GetSize());
  EXPECT_EQ(1, n.m_objText.m_lstLinks[0].nStartOffset);
  EXPECT_EQ(2, n.m_objText.m_lstLinks[0].nTextLength);
  EXPECT_EQ(n.m_strID, doc.m_mapAnchors["in"]);
  EXPECT_EQ(0u, doc.m_mapAnchors.count("t2"));  // an A around text is no anchor
}

TEST(HtmlReaderLinks, OwnLinkAndAttachmentsInTheTitle) {
  const std::string data = std::string("bin\0ary", 7);
  const std::string title =
      "<A href=\"http://own#frag\">Title</A></DT>\n"
      "<A hash=\"H\" code=\"C\" target=\"G\" title=\"x name='y' &amp;lt; &quot;q&quot;\" "
      "href=\"data:application/octet-stream;base64," +
      B64(data) +
      "\"></A>\n"
      "<A code=\"Z\" title=\"empty\" href=\"data:application/octet-stream;base64,\"></A>\n<DT>";
  NoteDocument doc;
  ASSERT_EQ(0, LoadString(doc, Native("<DL>\n<DT><A name=\"ID\"></A>" + title + "next</DT>\n</DL>\n")));
  NoteNode& n = doc.GetNodeByIdx(0);
  EXPECT_EQ("ID", n.m_strID);
  EXPECT_EQ("Title", n.GetTitle());
  EXPECT_EQ("http://own#frag", n.m_objLink.strLink);
  EXPECT_EQ(-1, n.m_objLink.nStartOffset);
  ASSERT_EQ(2u, n.m_lstAttachments.size());
  const AttInfo& a = n.m_lstAttachments[0];
  EXPECT_EQ("x name='y' &lt; \"q\"", a.strName);
  EXPECT_EQ(data, a.strData);
  EXPECT_EQ(7, a.nDataSize);
  EXPECT_EQ("H", a.strHash);
  EXPECT_EQ("C", a.strCode);
  EXPECT_EQ("G", a.strTarget);
  EXPECT_EQ("empty", n.m_lstAttachments[1].strName);
  EXPECT_EQ("", n.m_lstAttachments[1].strData);
  EXPECT_TRUE(n.HasAttachments());
}

TEST(HtmlReaderLinks, PicturesKeepTheirBytes) {
  const std::string png = EncodeImage("png", 3, 2), jpg = EncodeImage("jpeg", 4, 4);
  quillery::LogCapture log;
  NoteDocument doc;
  NoteNode& n = Note(doc, "<img title=\"p&quot;1\" src=\"data:image/png;base64," + B64(png) + "\">ab<b>c</b>" +
                              "<img title=\"j\" src=\"data:image/jpeg;base64," + B64(jpg) + "\">" +
                              "<img title=\"w\" src=\"http://example.org/x.png\">" +
                              "<img src=\"local/folder/with/a/long/name/picture.png\">");
  const PictureList& pics = n.m_objText.m_lstPictures;
  ASSERT_EQ(2, pics.GetSize());
  EXPECT_EQ(0, pics[0].nOffset);
  EXPECT_EQ("p\"1", pics[0].strName);
  EXPECT_EQ(png, pics[0].strEncoded);
  EXPECT_TRUE(pics[0].bPNG);
  EXPECT_EQ(4, pics[1].nOffset);
  EXPECT_EQ(jpg, pics[1].strEncoded);
  EXPECT_FALSE(pics[1].bPNG);
  // The picture counts one position.
  EXPECT_EQ(3, n.m_objText.m_lstFmt[0].nOffset);
  EXPECT_EQ(4, n.m_objText.m_lstFmt[1].nOffset);
  EXPECT_TRUE(log.Has("Skipped embedding image: local/folder/with/a/long/name/...\n"));
}

// A picture's name and bytes come from its own attributes in any spelling
// HTML allows, never from another attribute that quotes a data URL; what a
// document cannot hold is counted for the load to tell.
TEST(HtmlReaderLinks, PicturesAreReadFromTheirOwnSource) {
  const std::string png = EncodeImage("png", 3, 2), jpg = EncodeImage("jpeg", 4, 4);
  std::string bare = B64(png);  // an unquoted value ends at a blank
  bare.erase(std::remove(bare.begin(), bare.end(), '\n'), bare.end());
  const struct {
    std::string img, name, bytes;
  } cases[] = {
      {"<IMG TITLE=\"a\" SRC=DATA:image/PNG;base64," + bare + ">", "a", png},
      {"<img title='b' src = ' data:Image/Jpeg;Base64," + B64(jpg) + "'>", "b", jpg},
      {"<img alt='src=\"data:image/png;base64,QUFBQQ==\"' src=\"data:image/png;base64," + B64(png) + "\">", "", png},
  };
  for (const auto& c : cases) {
    NoteDocument doc;
    ASSERT_EQ(0, LoadString(doc, OneNote(c.img)));
    const PictureList& pics = doc.GetNodeByIdx(0).m_objText.m_lstPictures;
    EXPECT_EQ(1, pics.GetSize()) << c.img.substr(0, 40);
    if (pics.GetSize() != 1) continue;
    EXPECT_EQ(c.name, pics[0].strName);
    EXPECT_EQ(c.bytes, pics[0].strEncoded) << c.img.substr(0, 40);
    EXPECT_EQ(c.bytes == png, pics[0].bPNG);
  }
  NoteDocument doc;
  FormatIO_HTML fmt;
  ASSERT_EQ(0, LoadString(doc, OneNote("<img src=\"data:image/gif;base64,R0lGOD\">a<img>"), &fmt));
  EXPECT_EQ(2, fmt.PicturesLeftOut());
  EXPECT_EQ("data:image/gif;base64,R0lGOD", fmt.FirstPictureLeftOut());
}

TEST(HtmlReaderLinks, ExternalPicturesAreCollected) {
  NoteDocument doc;
  FormatIO_HTML fmt;
  ASSERT_EQ(0, LoadString(doc, OneNote("ab<img title=\"w\" src=\"http://example.org/x.png\">"), &fmt));
  ASSERT_EQ(1u, fmt.m_arExtImages.size());
  EXPECT_EQ("w", fmt.m_arExtImages[0].strTitle);
  EXPECT_EQ("http://example.org/x.png", fmt.m_arExtImages[0].strSrc);
  EXPECT_EQ(0, fmt.m_arExtImages[0].nNoteIdx);
  EXPECT_EQ(2, fmt.m_arExtImages[0].nOffset);
}

TEST(HtmlReaderLinks, CustomIconsKeepTheirBytes) {
  const std::string jpg = EncodeImage("jpeg", 8, 8);
  quillery::LogCapture log;
  NoteDocument doc;
  ASSERT_EQ(0, LoadString(doc, Native("<DL>\n<DT><A name=\"A\"></A><img title=\"A\" src=\"data:image/jpeg;base64," +
                                      B64(jpg) + "\">a</DT>\n<DT><A name=\"B\"></A>"
                                      "<img src=\"data:image/png;base64,AAAA\">b</DT>\n</DL>\n")));
  NoteNode& a = doc.GetNodeByIdx(0);
  EXPECT_EQ(ICON_CUSTOM, a.m_nIconType);
  EXPECT_EQ("0", a.m_strIconPath);
  ASSERT_EQ(1, doc.m_lstCustomIcons.GetSize());
  EXPECT_EQ(jpg, doc.m_lstCustomIcons[0].strEncoded);
  EXPECT_FALSE(doc.m_lstCustomIcons[0].bPNG);
  EXPECT_EQ(0, doc.m_mapNoteIcon["A"]);
  EXPECT_EQ(1, doc.m_nCustomIconCounter);
  EXPECT_EQ(ICON_NONE, doc.GetNodeByIdx(1).m_nIconType);
  EXPECT_TRUE(log.Contains("Failed to decode the image data (len=4, title=''), document offset: "));
}
