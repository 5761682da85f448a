#pragma once

// Helpers for the tests of the SQLite format's writing side: a document that
// uses every feature the database stores, a second connection that reads the
// file as another process would, and an SQLite document attached to a fresh
// database inside its long-running transaction.

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <memory>
#include <string>
#include <vector>

#include "common/NoteBuilder.h"
#include "common/TempDir.h"
#include "formats/containers/ContainerTestUtil.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"
#include "sqlite/format/FormatIO_Sqlite.h"

namespace qysqlw {

using quillery_test::AddNote;
using quillery_test::TempDir;
using Rows = std::vector<std::vector<std::string>>;

inline std::string TinyJpeg() {
  GdkPixbuf* pix = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 8, 8);
  gdk_pixbuf_fill(pix, 0xff660000);
  char* buf = nullptr;
  gsize len = 0;
  gdk_pixbuf_save_to_buffer(pix, &buf, &len, "jpeg", nullptr, nullptr);
  std::string out(buf, len);
  g_free(buf);
  g_object_unref(pix);
  return out;
}

// Rows of a query on a connection of its own ("BUSY" as the only cell when
// the file is locked by another connection, "ERROR: ..." on other
// failures). Blobs come back as their bytes.
inline Rows QueryFile(const std::string& path, const char* sql) {
  CppSQLite3DB db;
  CppSQLite3Exception err;
  db.open(path.c_str(), &err);
  db.setBusyTimeout(0);
  Rows rows;
  CppSQLite3Query q = db.execQuery(sql, &err);
  for (; !err.errorCode() && !q.eof(); q.nextRow(&err)) {
    std::vector<std::string> row;
    for (int i = 0; i < q.numFields(); ++i) {
      int len = 0;
      const unsigned char* blob = q.getBlobField(i, len);
      row.push_back(blob ? std::string(reinterpret_cast<const char*>(blob), len) : std::string());
    }
    rows.push_back(row);
  }
  if (err.errorCode()) {
    const int code = err.errorCode() & 0xff;
    return {{code == SQLITE_BUSY || code == SQLITE_LOCKED ? "BUSY" : std::string("ERROR: ") + err.errorMessage()}};
  }
  return rows;
}

// The first cell of the first row, "" without rows.
inline std::string Cell(const Rows& rows) { return rows.empty() || rows[0].empty() ? std::string() : rows[0][0]; }

// Rows of a query on the format's own connection (inside its transaction).
inline Rows QueryOwn(FormatIO_Sqlite& fmt, const char* sql) {
  CppSQLite3Exception err;
  Rows rows;
  CppSQLite3Query q = fmt._db.execQuery(sql, &err);
  for (; !err.errorCode() && !q.eof(); q.nextRow(&err)) {
    std::vector<std::string> row;
    for (int i = 0; i < q.numFields(); ++i) row.push_back(q.getStringField(i, ""));
    rows.push_back(row);
  }
  if (err.errorCode()) return {{std::string("ERROR: ") + err.errorMessage()}};
  return rows;
}

inline std::string One(FormatIO_Sqlite& fmt, const char* sql) { return Cell(QueryOwn(fmt, sql)); }

// Colours whose channels are multiples of 257 survive the 8-bit colour
// texts of the database unchanged.
inline GdkColor Rgb(guint16 r, guint16 g, guint16 b) {
  GdkColor c = {0, r, g, b};
  return c;
}

// Notes with every part the database stores: formatting of every
// attribute kind, pictures (PNG and JPEG), attachments, text links, an own
// link, anchors, tags, a task, custom properties, all properties, a custom
// icon and a clone; document properties, bookmarks and tombstones. Texts
// with quotes where statement texts carry them.
inline void EveryFeatureDocument(NoteDocument& doc) {
  doc.SetUID("DOCUID0123456789abcdef");
  doc.SetTitle("Every 'feature'");
  doc.SetAuthor("Tester");
  doc.m_nPropModifiedTime = 1700000000;
  doc.GetBookmarkList().Insert("mark one", "CHILD");
  doc.GetBookmarkList().Insert("mark two", "TOP");
  doc.m_lstCustomProperties.push_back(CustomProperty("docprop", "v<&>'"));
  doc.m_mapDeletedNotes["GONEnote00000000000001"] = 1;
  doc.m_mapDeletedAttachments["GONEatt000000000000001"] = 1;

  NoteNode& a = AddNote(doc, "", "TOP", "Top 'quoted' & more", "bold then plain\nsecond line with colour");
  FmtInfoList& f = a.m_objText.m_lstFmt;
  f.Append(FmtInfo(FMT_BOLD_BEGIN, 0));
  f.Append(FmtInfo(FMT_BOLD_END, 4));
  FmtInfo c1(FMT_COLOR_BEGIN, 5);
  c1.color = Rgb(0xFFFF, 0x8080, 0);
  f.Append(c1);
  FmtInfo c2(FMT_COLOR_END, 9);
  c2.color = Rgb(0xFFFF, 0x8080, 0);
  f.Append(c2);
  FmtInfo font1(FMT_FONT_BEGIN, 10);
  font1.strFont = "O'Neil Sans 12";
  f.Append(font1);
  FmtInfo font2(FMT_FONT_END, 15);
  font2.strFont = "O'Neil Sans 12";
  f.Append(font2);
  FmtInfo ls(FMT_LINE_SPACING_BEGIN, 16);
  ls.nValue = 150;
  f.Append(ls);
  FmtInfo ls2(FMT_LINE_SPACING_END, 20);
  ls2.nValue = 150;
  f.Append(ls2);
  a.m_objText.m_lstAnchors.Append(AnchorInfo("it's here", 3));
  doc.m_mapAnchors["it's here"] = "TOP";
  a.m_nDateCreated = 1600000000;
  a.m_nDateModified = 4102444800;  // 2100: past any 32-bit time
  a.m_nIconType = ICON_FILE;
  a.m_strIconPath = "/icons/star.png";
  a.m_bFinished = true;
  a.m_bExpanded = true;
  a.m_bTemplate = true;
  a.SetSourceLanguage("cpp");
  a.m_bUseTxtColor = true;
  a.m_clrTxt = Rgb(0x1212, 0x3434, 0x5656);
  a.m_bUseBkgColor = true;
  a.m_clrBkg = Rgb(0xfefe, 0xdcdc, 0xbaba);
  a.m_bUseFont = true;
  a.m_strCustomFont = "Serif Bold 10";
  a.m_bUseNoteBkgColor = true;
  a.m_clrNoteBkg = Rgb(0xeeee, 0xeeee, 0xdddd);
  a.SetKeywords(";red;blue;");
  a.m_lstCustomProperties.push_back(CustomProperty("colour", "green"));
  LinkInfo link;
  link.strLink = "http://example.com/a?b='c'";
  link.nStartOffset = 10;
  link.nTextLength = 5;
  link.RecalcRelative();
  a.m_objText.m_lstLinks.Append(link);
  LinkInfo internal;
  internal.strTargetID = "CHILD";
  internal.nStartOffset = 20;
  internal.nTextLength = 3;
  internal.RecalcRelative();
  a.m_objText.m_lstLinks.Append(internal);
  a.m_objLink.strLink = "http://example.com/own";
  a.m_objLink.RecalcRelative();
  a.m_strHash.clear();

  NoteNode& b = AddNote(doc, "TOP", "CHILD", "Child", "pic: here and there");
  doc.AddNotePicture(b, 5, "dot.png", qycont::TinyPng(), true, -1, -1);
  doc.AddNotePicture(b, 10, "photo.jpg", TinyJpeg(), false, -1, -1);
  AttInfo att;
  att.strName = "notes.txt";
  att.strData = std::string("attached\0bytes", 14);
  att.nDataSize = 14;
  att.strCode = "ATTCODE0123456789abcde";
  att.strTarget = "target";
  b.m_lstAttachments.push_back(att);
  att.strName = "second.bin";
  att.strData = "two";
  att.nDataSize = 3;
  att.strCode = "ATTCODE0123456789abcdf";
  att.strTarget.clear();
  b.m_lstAttachments.push_back(att);
  b.m_bHasAttachments = true;
  b.m_objTask.SetValid(true);
  b.m_objTask.dateCreated = 1700000000;
  b.m_objTask.dateDue = 1700003600;
  b.m_objTask.dateLastAck = 1700001000;
  b.m_objTask.nPriority = 2;
  b.m_objTask.nStatus = 1;
  b.m_objTask.nRepeat = 3;
  b.m_objTask.nAlarmMode = 1;
  b.m_objTask.strSoundPath = "/snd/ding.wav";
  b.m_objTask.strScriptPath = "/bin/true";
  b.m_bReadOnly = true;
  b.SetKeywords(";blue;");

  NoteNode& c = AddNote(doc, "", "LAST", "Last", std::string(3000, 'z') + " end");
  c.m_nIconType = ICON_CUSTOM;
  PixInfo icon;
  icon.strEncoded = qycont::TinyPng();
  icon.bPNG = true;
  icon.strName = "icon.png";
  icon.nOffset = doc.m_nCustomIconCounter++;
  doc.m_lstCustomIcons.Push(icon);
  doc.m_mapNoteIcon["LAST"] = icon.nOffset;
  c.m_strIconPath = std::to_string(icon.nOffset);

  NoteNode& d = AddNote(doc, "", "CLONE", "Child", "");
  d.m_strCloneOf = "CHILD";
  doc.RefreshCloneMaps();
}

// An SQLite format attached to a new database at path holding the
// document's notes, inside its long-running transaction (what a save to a
// new path leaves behind). The caller owns the object.
inline std::unique_ptr<FormatIO_Sqlite> SaveNew(NoteDocument& doc, const std::string& path, int* result = nullptr) {
  std::unique_ptr<FormatIO_Sqlite> fmt(new FormatIO_Sqlite);
  RecursiveTreeWalker walker(doc);
  const int r = fmt->Save(path.c_str(), walker);
  if (result) *result = r;
  return fmt;
}

}  // namespace qysqlw
