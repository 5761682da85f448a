#include "sqlite/format/SqliteNoteRows.h"

#include <glib.h>

#include <ctime>

#include "base/Log.h"
#include "model/NoteNode.h"
#include "model/NodeInfoFlags.h"
#include "save/SafeSave.h"
#include "sqlite/format/SqliteWriteUtil.h"

namespace quillery {

namespace {

// The bytes of the blob in column 0 of the query's current row.
bool ReadBlob(CppSQLite3Query& q, std::string& out) {
  int len = 0;
  const unsigned char* data = q.getBlobField(0, len);
  if (!data || len <= 0) return false;
  out.assign(reinterpret_cast<const char*>(data), static_cast<size_t>(len));
  return true;
}

// Bytes that could not be read are stored empty by the rewrite that
// follows: a part of the note is lost, which counts as a failed read.
void CountMissedBytes(const char* what, const CppSQLite3Exception& err) {
  if (!SqlFailed(err)) return;
  quillery::CountReadFailure();
  xLog(LOG_ERROR, "Sqlite format [load %s bytes]: Error: %s\n", what, SqlErrorText(err));
}

}  // namespace

bool InsertPictureRow(CppSQLite3DB& db, const NoteNode& note, PixInfo& pix, const std::string* bytes,
                      CppSQLite3Exception& err) {
  char* encoded = nullptr;
  gsize encodedLen = 0;
  const char* data = nullptr;
  size_t len = 0;
  if (bytes) {
    data = bytes->data();
    len = bytes->size();
  } else if (!pix.pixbuf && pix.strEncoded.empty()) {
    // A picture read with no bytes (a zero-length blob) keeps none: it is
    // still a picture of the note, counted and fetched as one.
    data = "";
  } else if (pix.SaveToBuffer(&encoded, &encodedLen)) {
    data = encoded;
    len = encodedLen;
  }
  xLog(LOG_INFO, "Sqlite::OnNodePixAdded note=%s, name=%s, size=%d\n", note.m_strID.c_str(), pix.strName.c_str(),
       static_cast<int>(len));

  const char* sql =
      "INSERT INTO images (note_id, note_offset, image_title, image_data, is_png) VALUES (?, ?, ?, ?, ?)";
  CppSQLite3Statement stmt = db.cachedStatement(sql, &err);
  if (!SqlFailed(err)) {
    stmt.bind(1, note.m_strID.c_str(), &err);
    stmt.bind(2, pix.nOffset, &err);
    stmt.bind(3, pix.strName.c_str(), &err);
    // A picture that cannot be encoded is stored without bytes (NULL), which
    // the reader skips with its own log line; bytes of length 0 stay a
    // zero-length blob (a pointer that is not null tells SQLite so).
    if (data)
      stmt.bind(4, reinterpret_cast<const unsigned char*>(data), static_cast<int>(len), &err);
    else
      stmt.bindNull(4, &err);
    stmt.bind(5, pix.bPNG ? 1 : 0, &err);
    if (!SqlFailed(err)) stmt.execDML(&err);
  }
  g_free(encoded);
  if (SqlFailed(err)) {
    pix.nPictureID = 0;
    LogSqlFailure("pix add", sql, err);
    return false;
  }
  pix.nPictureID = db.lastRowId();
  return true;
}

bool InsertAttachmentRow(CppSQLite3DB& db, const NoteNode& note, int index, CppSQLite3Exception& err) {
  const int count = static_cast<int>(note.m_lstAttachments.size());
  if (index < 0) index = count - 1;
  if (index < 0 || index >= count) {
    xLog(LOG_ERROR, "Sqlite format [add att.]: no attachment %d in note %s (%d attachments)\n", index,
         note.m_strID.c_str(), count);
    return false;
  }
  const AttInfo& att = note.m_lstAttachments[index];
  const char* sql =
      "INSERT INTO attachments (note_id, note_pos, att_title, att_data, att_size, hash, date_created, att_code, "
      "att_target) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)";
  CppSQLite3Statement stmt = db.cachedStatement(sql, &err);
  if (!SqlFailed(err)) {
    stmt.bind(1, note.m_strID.c_str(), &err);
    stmt.bind(2, index, &err);
    stmt.bind(3, att.strName.c_str(), &err);
    // att_data is NOT NULL: an empty attachment is a zero-length blob.
    static const unsigned char kEmpty = 0;
    const unsigned char* bytes =
        att.strData.empty() ? &kEmpty : reinterpret_cast<const unsigned char*>(att.strData.data());
    stmt.bind(4, bytes, static_cast<int>(att.strData.size()), &err);
    stmt.bind(5, static_cast<int>(att.strData.size()), &err);
    stmt.bind(6, att.strHash.c_str(), &err);
    stmt.bind(7, static_cast<long long>(time(nullptr)), &err);
    stmt.bind(8, att.strCode.c_str(), &err);
    stmt.bind(9, att.strTarget.c_str(), &err);
    if (!SqlFailed(err)) stmt.execDML(&err);
  }
  if (SqlFailed(err)) {
    xLog(LOG_ERROR, "Sqlite format [add att.]: Sql failed! Error: %s\n", SqlErrorText(err));
    return false;
  }
  return true;
}

bool InsertTagRow(CppSQLite3DB& db, const NoteNode& note, const std::string& tag, CppSQLite3Exception& err) {
  long long tagID = 0;
  {
    CppSQLite3Statement find = db.cachedStatement("SELECT tag_id FROM tags WHERE tag_name=?", &err);
    if (!SqlFailed(err)) {
      find.bind(1, tag.c_str(), &err);
      if (!SqlFailed(err)) {
        CppSQLite3Query q = find.execQuery(&err);
        if (!SqlFailed(err) && !q.eof()) tagID = q.getInt64Field(0, 0);
      }
    }
    if (SqlFailed(err)) {
      xLog(LOG_ERROR, "Sqlite format [add tag1]: Error: %s\n", SqlErrorText(err));
      return false;
    }
  }
  if (tagID < 1) {
    CppSQLite3Statement add = db.cachedStatement("INSERT INTO tags (tag_name) VALUES (?)", &err);
    if (!SqlFailed(err)) {
      add.bind(1, tag.c_str(), &err);
      if (!SqlFailed(err)) add.execDML(&err);
    }
    if (SqlFailed(err)) {
      // Without a tag row there is nothing the link could point at.
      xLog(LOG_ERROR, "Sqlite format [add tag]: Error: %s\n", SqlErrorText(err));
      return false;
    }
    tagID = db.lastRowId();
  }
  CppSQLite3Statement link = db.cachedStatement("INSERT INTO tags_notes (note_id, tag_id) VALUES (?, ?)", &err);
  if (!SqlFailed(err)) {
    link.bind(1, note.m_strID.c_str(), &err);
    link.bind(2, tagID, &err);
    if (!SqlFailed(err)) link.execDML(&err);
  }
  if (SqlFailed(err)) {
    xLog(LOG_ERROR, "Sqlite format [add tag2]: Error: %s\n", SqlErrorText(err));
    return false;
  }
  return true;
}

void LoadMissingBytes(CppSQLite3DB& db, NoteNode& note, unsigned int mask) {
  if (mask & NIF_ATTACHMENTS) {
    for (size_t i = 0; i < note.m_lstAttachments.size(); ++i) {
      AttInfo& att = note.m_lstAttachments[i];
      if (!att.strData.empty() || att.nDataSize <= 0) continue;
      CppSQLite3Exception err;
      CppSQLite3Statement stmt =
          db.cachedStatement("SELECT att_data FROM attachments WHERE note_id=? AND note_pos=?", &err);
      if (!SqlFailed(err)) {
        stmt.bind(1, note.m_strID.c_str(), &err);
        stmt.bind(2, static_cast<int>(i), &err);
      }
      CppSQLite3Query q;
      if (!SqlFailed(err)) q = stmt.execQuery(&err);
      if (!SqlFailed(err) && !q.eof()) ReadBlob(q, att.strData);
      CountMissedBytes("attachment", err);
    }
  }
  if (mask & NIF_PICTURES) {
    for (PixInfo& pix : note.m_objText.m_lstPictures.Items()) {
      if (!pix.strEncoded.empty() || pix.pixbuf || pix.nPictureID <= 0) continue;
      // Only the note's own row: bytes of another note's picture must never
      // be taken for this one.
      CppSQLite3Exception err;
      CppSQLite3Statement stmt =
          db.cachedStatement("SELECT image_data FROM images WHERE image_id=? AND note_id=?", &err);
      if (!SqlFailed(err)) {
        stmt.bind(1, static_cast<long long>(pix.nPictureID), &err);
        stmt.bind(2, note.m_strID.c_str(), &err);
      }
      CppSQLite3Query q;
      if (!SqlFailed(err)) q = stmt.execQuery(&err);
      if (!SqlFailed(err) && !q.eof()) ReadBlob(q, pix.strEncoded);
      CountMissedBytes("picture", err);
    }
  }
}

}  // namespace quillery
