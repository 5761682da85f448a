// FormatIO_Sqlite: reading a note's parts from the open database on demand
// (FetchNodeInfo, FetchNodeAtt) and the queries the note model asks of a
// dynamic format (HasNote, HasAttachments, reverse links, used colours).
//
// Every note ID is bound, never pasted into statement text, so an ID read
// from a damaged or crafted file can never change a statement; each text is
// compiled once per connection. Notes renamed by a merge are looked up under
// the ID the file stores.

#include <strings.h>

#include <string>

#include "base/Log.h"
#include "save/SafeSave.h"
#include "richtext/FmtInfo.h"
#include "model/NoteDocument.h"
#include "sqlite/format/FormatIO_Sqlite.h"
#include "sqlite/format/SqliteReadHelpers.h"

using namespace quillery;

namespace {

// One per-note query of FetchNodeInfo: runs the cached statement with the
// note ID bound, and logs a failure of the statement or of a later row step.
class FetchQuery {
 public:
  FetchQuery(CppSQLite3DB& db, const char* sql, const std::string& id) : m_sql(sql) {
    m_stmt = db.cachedStatement(sql, &m_err);
    if (m_err.errorCode() == 0) m_stmt.bind(1, id.c_str(), &m_err);
    if (m_err.errorCode() == 0) m_q = m_stmt.execQuery(&m_err);
    LogFailure();
  }
  bool eof() { return m_q.eof(); }
  void Next() {
    m_q.nextRow(&m_err);
    LogFailure();
  }
  CppSQLite3Query& q() { return m_q; }

 private:
  void LogFailure() {
    if (m_err.errorCode() == 0 || m_logged) return;
    m_logged = true;
    quillery::CountReadFailure();
    xLog(LOG_ERROR, "Sqlite format [fetch node info]: Sql [%s] failed! Error: %s\n", m_sql, SqliteMessage(m_err));
  }
  const char* m_sql;
  CppSQLite3Exception m_err;
  CppSQLite3Statement m_stmt;  // declared before the cursor, which uses it
  CppSQLite3Query m_q;
  bool m_logged = false;
};

std::string Text(CppSQLite3Query& q, int col) { return q.getStringField(col, ""); }

std::string Blob(CppSQLite3Query& q, int col) {
  int len = 0;
  const unsigned char* data = q.getBlobField(col, len, nullptr);
  return data && len > 0 ? std::string(reinterpret_cast<const char*>(data), static_cast<size_t>(len)) : std::string();
}

void FetchAttachments(CppSQLite3DB& db, NoteNode& note, const std::string& id, bool withData) {
  note.m_lstAttachments.clear();
  if (!withData) note.m_bHasAttachments = false;
  FetchQuery f(db,
               withData ? "SELECT att_title, att_data, hash, att_code, att_target FROM attachments WHERE note_id=? "
                          "ORDER BY note_pos"
                        : "SELECT att_title, att_size, hash, att_code, att_target FROM attachments WHERE note_id=? "
                          "ORDER BY note_pos",
               id);
  for (; !f.eof(); f.Next()) {
    AttInfo att;
    att.strName = Text(f.q(), 0);
    if (withData) {
      att.strData = Blob(f.q(), 1);
      att.nDataSize = static_cast<int>(att.strData.size());
    } else {
      att.nDataSize = f.q().getIntField(1, 0);
    }
    att.strHash = Text(f.q(), 2);
    att.strCode = Text(f.q(), 3);
    att.strTarget = Text(f.q(), 4);
    note.m_lstAttachments.push_back(att);
    note.m_bHasAttachments = true;
  }
}

void FetchPictures(CppSQLite3DB& db, NoteNode& note, const std::string& id, bool withData) {
  PictureList& pics = note.m_objText.m_lstPictures;
  pics.Clear();
  FetchQuery f(db,
               withData ? "SELECT note_offset, image_title, image_data, is_png, image_id FROM images WHERE note_id=? "
                          "ORDER BY note_offset"
                        : "SELECT note_offset, image_title, is_png, image_id FROM images WHERE note_id=? ORDER BY "
                          "note_offset",
               id);
  const int pngCol = withData ? 3 : 2;
  const int idCol = withData ? 4 : 3;
  for (; !f.eof(); f.Next()) {
    CppSQLite3Query& q = f.q();
    if (withData && q.fieldIsNull(2)) {
      xLog(LOG_ERROR, "Empty image buffer detected!\n");
      continue;
    }
    PixInfo pix;
    pix.nOffset = q.getIntField(0, 0);
    pix.strName = Text(q, 1);
    if (withData) pix.strEncoded = Blob(q, 2);
    pix.bPNG = q.getIntField(pngCol, 0) > 0;
    pix.nPictureID = q.getInt64Field(idCol, 0);
    const int total = note.m_objText.GetTotalLength();
    if (pix.nOffset > total) {
      xLog(LOG_ERROR, "Image with invalid offset detected (offset=%d, total size=%d)!\n", pix.nOffset, total);
      continue;
    }
    pics.Push(pix);
  }
}

void FetchLinks(CppSQLite3DB& db, NoteNode& note, const std::string& id) {
  note.m_objText.m_lstLinks.Clear();
  FetchQuery f(db,
               "SELECT note_offset, lnk_length, target_url, target_note_id FROM links WHERE note_id=? ORDER BY "
               "note_offset",
               id);
  for (; !f.eof(); f.Next()) {
    LinkInfo link;
    link.nStartOffset = f.q().getIntField(0, 0);
    link.nTextLength = f.q().getIntField(1, 0);
    link.strLink = Text(f.q(), 2);
    link.strTargetID = Text(f.q(), 3);
    // Links once stored with a "file://" put in front of a web address.
    if (strncasecmp(link.strLink.c_str(), "file://http://", 14) == 0 ||
        strncasecmp(link.strLink.c_str(), "file://ftp://", 13) == 0)
      link.strLink.erase(0, 7);
    link.RecalcRelative();
    if (link.nStartOffset < 0) note.m_objLink = link;
    else note.m_objText.m_lstLinks.Append(link);
  }
}

void FetchProperties(CppSQLite3DB& db, NoteNode& note, const std::string& id) {
  FetchQuery f(db,
               "SELECT date_created, date_modified, icon_type, icon_info, is_finished, is_expanded, "
               "use_custom_txt_color, use_custom_bkg_color, use_custom_font, custom_txt_color, custom_bkg_color, "
               "custom_font, hash, hash_html FROM notes, notes_tree WHERE notes.note_id=? AND notes_tree.note_id = "
               "notes.note_id",
               id);
  // A note without its rows in both tables gets the column defaults: 0 and
  // empty texts.
  CppSQLite3Query& q = f.q();
  const bool row = !q.eof();
  auto num = [&](int col) { return row ? q.getInt64Field(col, 0) : 0; };
  auto text = [&](int col) { return row ? Text(q, col) : std::string(); };
  note.m_nDateCreated = num(0);
  note.m_nDateModified = num(1);
  note.m_nIconType = static_cast<int>(num(2));
  note.m_strIconPath = text(3);
  note.m_bFinished = num(4) > 0;
  note.m_bExpanded = num(5) > 0;
  note.m_bUseTxtColor = num(6) > 0;
  note.m_bUseBkgColor = num(7) > 0;
  note.m_bUseFont = num(8) > 0;
  ParseStoredColor(text(9).c_str(), note.m_clrTxt);
  ParseStoredColor(text(10).c_str(), note.m_clrBkg);
  note.m_strCustomFont = text(11);
  note.m_strHash = text(12);
  note.m_strHashHtml = text(13);
  ApplyBuiltInIconName(note);
}

}  // namespace

void FormatIO_Sqlite::FetchNodeInfo(NoteNode& note, unsigned int mask) {
  if (note.m_strID.empty()) return;
  note.m_nPartsInMemory |= mask;
  const std::string id = StoredIdOf(*this, note.m_strID);
  // Hashes that arrive empty are computed once every part of this call is
  // in the note, so the HTML hash covers the fetched rich text.
  bool computeHash = false, computeHtmlHash = false;

  if (mask & NIF_TEXT) {
    FetchQuery f(_db, "SELECT note_text, hash, hash_html FROM notes WHERE notes.note_id=?", id);
    std::string text, hash, htmlHash;
    if (!f.eof()) {
      text = Text(f.q(), 0);
      hash = Text(f.q(), 1);
      htmlHash = Text(f.q(), 2);
    }
    note.SetText(text.c_str(), hash.c_str(), htmlHash.c_str(), false);
    computeHash = hash.empty();
    computeHtmlHash = htmlHash.empty();
  }
  if (mask & NIF_FORMATTING) {
    FmtInfoList& fmt = note.m_objText.m_lstFmt;
    fmt.Clear();
    FetchQuery f(_db, "SELECT note_offset, fmt_tag, fmt_color, fmt_font, fmt_value FROM formatting WHERE note_id=?",
                 id);
    for (; !f.eof(); f.Next()) {
      FmtInfo info;
      info.nOffset = f.q().getIntField(0, 0);
      info.nFormatTag = f.q().getIntField(1, 0);
      ParseStoredColor(Text(f.q(), 2).c_str(), info.color);
      info.strFont = Text(f.q(), 3);
      info.nValue = f.q().getIntField(4, 0);
      fmt.Append(info);
    }
  }
  if (mask & NIF_ANCHORS) {
    AnchorInfoList& anchors = note.m_objText.m_lstAnchors;
    anchors.Clear();
    FetchQuery f(_db, "SELECT anc_name, anc_offset FROM anchors WHERE note_id=?", id);
    for (; !f.eof(); f.Next()) anchors.Append(AnchorInfo(Text(f.q(), 0), f.q().getIntField(1, 0)));
  }
  if (mask & NIF_ATTACHMENTS) FetchAttachments(_db, note, id, true);
  else if (mask & NIF_ATTACHMENT_INFO) FetchAttachments(_db, note, id, false);
  if (mask & NIF_PICTURES) FetchPictures(_db, note, id, true);
  else if (mask & NIF_PICTURE_INFO) FetchPictures(_db, note, id, false);
  if (mask & NIF_LINKS) {
    FetchLinks(_db, note, id);
    // Links of a merged file follow the notes the merge renamed.
    RemapNoteLinks(note, _mapOldToNewID);
  }
  if (mask & NIF_PROPERTIES) FetchProperties(_db, note, id);
  if (mask & NIF_TAGS) {
    std::string keywords;
    FetchQuery f(_db,
                 "SELECT tag_name FROM tags, tags_notes WHERE tags.tag_id=tags_notes.tag_id AND tags_notes.note_id=?",
                 id);
    for (; !f.eof(); f.Next()) {
      if (keywords.empty()) keywords = ";";
      keywords += Text(f.q(), 0);
      keywords += ";";
    }
    note.SetKeywords(keywords);
  }
  if (mask & NIF_CUSTOM_PROPERTIES) {
    note.m_lstCustomProperties.clear();
    FetchQuery f(_db, "SELECT prop_name, prop_value FROM custom_properties WHERE note_id=?", id);
    for (; !f.eof(); f.Next()) note.m_lstCustomProperties.emplace_back(Text(f.q(), 0), Text(f.q(), 1));
  }
  if ((mask & NIF_RICH_TEXT) == NIF_RICH_TEXT) {
    // Pictures the repair drops are removed from this file only while it
    // holds the document; a merged file's rows stay as they are.
    const bool ownFile = m_pDoc && m_pDoc->GetLoader() == this;
    note.FixFormatting(ownFile ? this : nullptr);
  }
  if (mask & NIF_TEXT) {
    if (computeHash && note.m_strHash.empty()) NoteNode::CalcDataHash(note.GetText(), note.m_strHash);
    if (computeHtmlHash && note.m_strHashHtml.empty()) note.CalcHtmlHash(note.m_strHashHtml);
  }
}

void FormatIO_Sqlite::FetchNodeAtt(NoteNode& note, int index) {
  const int count = static_cast<int>(note.m_lstAttachments.size());
  if (index < 0 || index >= count) {
    xLog(LOG_ERROR, "Sqlite: failed to fetch node attachment: %d (total att: %d)\n", index, count);
    return;
  }
  const char* sql =
      "SELECT att_title, att_data, hash, att_code, att_target FROM attachments WHERE note_id=? ORDER BY note_pos "
      "LIMIT 1 OFFSET ?";
  CppSQLite3Exception err;
  CppSQLite3Statement stmt = _db.cachedStatement(sql, &err);
  if (err.errorCode() == 0) {
    stmt.bind(1, StoredIdOf(*this, note.m_strID).c_str(), &err);
    stmt.bind(2, index, &err);
  }
  CppSQLite3Query q;
  if (err.errorCode() == 0) q = stmt.execQuery(&err);
  if (err.errorCode() != 0) {
    quillery::CountReadFailure();
    xLog(LOG_ERROR, "Sqlite format [fetch node info]: Sql [%s] failed! Error: %s\n", sql, SqliteMessage(err));
    return;
  }
  if (q.eof()) return;
  AttInfo& att = note.m_lstAttachments[index];
  att.strName = Text(q, 0);
  att.strData = Blob(q, 1);
  att.nDataSize = static_cast<int>(att.strData.size());
  att.strHash = Text(q, 2);
  att.strCode = Text(q, 3);
  att.strTarget = Text(q, 4);
}

namespace {

// count(*) > 0 for the statement with the ID bound; false (logged) on an error.
bool CountAboveZero(CppSQLite3DB& db, const char* sql, const std::string& id, const char* errorLine) {
  CppSQLite3Exception err;
  CppSQLite3Statement stmt = db.cachedStatement(sql, &err);
  if (err.errorCode() == 0) stmt.bind(1, id.c_str(), &err);
  CppSQLite3Query q;
  if (err.errorCode() == 0) q = stmt.execQuery(&err);
  if (err.errorCode() != 0) {
    xLog(LOG_ERROR, errorLine, SqliteMessage(err));
    return false;
  }
  return !q.eof() && q.getInt64Field(0, 0) > 0;
}

}  // namespace

bool FormatIO_Sqlite::HasNote(NoteNode& note) {
  // Asked for fresh IDs: the file's own IDs, as they are stored.
  return CountAboveZero(_db, "SELECT count(*) FROM notes WHERE note_id=?", note.m_strID,
                        "Sqlite format [has note]: Error: %s\n");
}

bool FormatIO_Sqlite::HasAttachments(NoteNode& note) {
  return CountAboveZero(_db, "SELECT count(*) FROM attachments WHERE note_id=?", StoredIdOf(*this, note.m_strID),
                        "Sqlite format [has att.]: Error: %s\n");
}

bool FormatIO_Sqlite::GetNotesLinkingToTargetNote(const std::string& noteID, std::vector<std::string>& out) {
  out.clear();
  CppSQLite3Exception err;
  CppSQLite3Statement stmt = _db.cachedStatement("SELECT note_id FROM links WHERE target_note_id=?", &err);
  if (err.errorCode() == 0) stmt.bind(1, StoredIdOf(*this, noteID).c_str(), &err);
  CppSQLite3Query q;
  if (err.errorCode() == 0) q = stmt.execQuery(&err);
  for (; err.errorCode() == 0 && !q.eof(); q.nextRow(&err)) out.push_back(LoadedIdOf(*this, Text(q, 0)));
  if (err.errorCode() != 0) {
    xLog(LOG_ERROR, "Sqlite format [reverse linking]: Error: %s\n", SqliteMessage(err));
    return false;
  }
  return true;
}

void FormatIO_Sqlite::GetUsedColors(std::map<std::string, int>& colors) {
  CppSQLite3Exception err;
  CppSQLite3Statement stmt = _db.compileStatement("SELECT fmt_color FROM formatting WHERE fmt_tag=? OR fmt_tag=?", &err);
  stmt.bind(1, static_cast<int>(FMT_COLOR_BEGIN), &err);
  stmt.bind(2, static_cast<int>(FMT_BKG_COLOR_BEGIN), &err);
  if (err.errorCode() == 0) {
    CppSQLite3Query q = stmt.execQuery(&err);
    for (; err.errorCode() == 0 && !q.eof(); q.nextRow(&err)) ++colors[Text(q, 0)];
  }
  if (err.errorCode() != 0) xLog(LOG_ERROR, "Sqlite format [fetch used colors]: Sql failed! Error: %s\n", SqliteMessage(err));
}
