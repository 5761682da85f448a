// FormatIO_Sqlite: filling in missing text hashes, HTML hashes, attachment
// hashes and attachment codes in the open database. The host asks
// AnyHashesToBeDone and then calls UpdateHashes, one item per call in small
// steps or everything at once.

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "base/Log.h"
#include "model/NoteDocument.h"
#include "sqlite/format/FormatIO_Sqlite.h"
#include "sqlite/format/SqliteReadHelpers.h"

using namespace quillery;

namespace {

// Runs a query and collects its first column (text or row ID); false on an
// error, which stays in err.
bool CollectColumn(CppSQLite3Query q, std::vector<std::string>& out, CppSQLite3Exception& err) {
  for (; err.errorCode() == 0 && !q.eof(); q.nextRow(&err)) out.push_back(q.getStringField(0, ""));
  return err.errorCode() == 0;
}
bool CollectColumn(CppSQLite3Query q, std::vector<int64_t>& out, CppSQLite3Exception& err) {
  for (; err.errorCode() == 0 && !q.eof(); q.nextRow(&err)) out.push_back(q.getInt64Field(0, 0));
  return err.errorCode() == 0;
}
template <class T>
bool Collect(CppSQLite3DB& db, const std::string& sql, std::vector<T>& out, CppSQLite3Exception& err) {
  return CollectColumn(db.execQuery(sql.c_str(), &err), out, err);
}
// The same for the later phases, which log a failing statement and go on.
template <class T>
bool CollectOrLog(CppSQLite3DB& db, const std::string& sql, std::vector<T>& out) {
  CppSQLite3Exception err;
  if (Collect(db, sql, out, err)) return true;
  xLog(LOG_ERROR, "Sqlite format update: Sql [%s] failed! Error: %s\n", sql.c_str(), SqliteMessage(err));
  out.clear();
  return false;
}

// "UPDATE ... SET x=? WHERE key=?" with a text value and a text or row key.
template <class Key>
bool UpdateOne(CppSQLite3DB& db, const char* sql, const std::string& value, const Key& key, CppSQLite3Exception& err) {
  CppSQLite3Statement stmt = db.compileStatement(sql, &err);
  if (err.errorCode() != 0) return false;
  stmt.bind(1, value.c_str(), &err);
  if constexpr (std::is_same<Key, std::string>::value) stmt.bind(2, key.c_str(), &err);
  else stmt.bind(2, static_cast<long long>(key), &err);
  if (err.errorCode() != 0) return false;
  stmt.execDML(&err);
  return err.errorCode() == 0;
}

}  // namespace

bool FormatIO_Sqlite::AnyHashesToBeDone() {
  static const char* const kProbes[4][2] = {
      {"SELECT note_id FROM notes WHERE hash IS NULL OR LENGTH(hash)=0 LIMIT 1",
       "Sqlite format [count hash1]: Error: %s\n"},
      {"SELECT note_id FROM notes WHERE hash_html IS NULL OR LENGTH(hash_html)=0 LIMIT 1",
       "Sqlite format [count hash2]: Error: %s\n"},
      {"SELECT att_id FROM attachments WHERE hash IS NULL OR LENGTH(hash)=0 LIMIT 1",
       "Sqlite format [count hash3]: Error: %s\n"},
      {"SELECT att_id FROM attachments WHERE att_code IS NULL OR LENGTH(att_code)=0 LIMIT 1",
       "Sqlite format [count hash4]: Error: %s\n"},
  };
  for (const auto& probe : kProbes) {
    CppSQLite3Exception err;
    CppSQLite3Query q = _db.execQuery(probe[0], &err);
    if (err.errorCode() != 0) {
      xLog(LOG_ERROR, probe[1], SqliteMessage(err));
      continue;
    }
    if (!q.eof()) return true;
  }
  return false;
}

bool FormatIO_Sqlite::UpdateHashes(bool oneStep) {
  NoteDocument* doc = GetDoc();
  if (!doc) return false;
  if (doc->m_bPlugin) {
    xLog(LOG_INFO, "Sqlite format, skip note text/app hash recalculation (probably a plugin)\n");
    return false;
  }
  BeforeChange();
  const std::string limit = oneStep ? " LIMIT 1" : "";
  bool changed = false;

  // Text hashes.
  {
    CppSQLite3Exception err;
    std::vector<std::string> ids;
    if (!Collect(_db, "SELECT note_id FROM notes WHERE hash IS NULL OR LENGTH(hash)=0" + limit, ids, err)) {
      xLog(LOG_ERROR, "Sqlite format update [1]: Error: %s\n", SqliteMessage(err));
      return false;
    }
    for (const std::string& id : ids) {
      CppSQLite3Statement stmt = _db.compileStatement("SELECT note_text FROM notes WHERE note_id=?", &err);
      stmt.bind(1, id.c_str(), &err);
      std::string text;
      bool row = false;
      if (err.errorCode() == 0) {
        CppSQLite3Query q = stmt.execQuery(&err);
        if (err.errorCode() == 0 && !q.eof()) {
          row = true;
          text = q.getStringField(0, "");
        }
      }
      if (err.errorCode() != 0) {
        xLog(LOG_ERROR, "Sqlite format update [1]: Error: %s\n", SqliteMessage(err));
        return false;
      }
      if (!row) continue;
      xLog(LOG_INFO, "Sqlite database: calculate note hash for note ID=%s\n", id.c_str());
      std::string hash;
      NoteNode::CalcDataHash(text, hash);
      if (!UpdateOne(_db, "UPDATE notes SET hash=? WHERE note_id=?", hash, id, err)) {
        xLog(LOG_ERROR, "%s\n", SqliteMessage(err));
        return false;
      }
      changed = true;
      if (oneStep) return true;
    }
  }

  // Attachment hashes, over the stored bytes.
  {
    std::vector<int64_t> ids;
    CollectOrLog(_db, "SELECT att_id FROM attachments WHERE hash IS NULL OR LENGTH(hash)=0" + limit, ids);
    for (int64_t id : ids) {
      CppSQLite3Exception e;
      CppSQLite3Statement stmt = _db.compileStatement("SELECT att_size, att_data FROM attachments WHERE att_id=?", &e);
      stmt.bind(1, static_cast<long long>(id), &e);
      std::string data;
      bool row = false;
      if (e.errorCode() == 0) {
        CppSQLite3Query q = stmt.execQuery(&e);
        if (e.errorCode() == 0 && !q.eof()) {
          row = true;
          int len = 0;
          const unsigned char* bytes = q.getBlobField(1, len, nullptr);
          if (bytes && len > 0) data.assign(reinterpret_cast<const char*>(bytes), static_cast<size_t>(len));
        }
      }
      if (e.errorCode() != 0) {
        xLog(LOG_ERROR, "Sqlite format update [1]: Error: %s\n", SqliteMessage(e));
        return false;
      }
      if (!row) continue;
      xLog(LOG_INFO, "Sqlite database: calculate hash for attachment ID=%lld\n", static_cast<long long>(id));
      std::string hash;
      NoteNode::CalcDataHash(data, hash);
      if (!UpdateOne(_db, "UPDATE attachments SET hash=? WHERE att_id=?", hash, id, e))
        xLog(LOG_ERROR, "%s\n", SqliteMessage(e));
      changed = true;
      if (oneStep) return true;
    }
  }

  // HTML hashes: each note's rich text is fetched into a scratch note.
  {
    std::vector<std::string> ids;
    CollectOrLog(_db, "SELECT note_id FROM notes WHERE hash_html IS NULL OR LENGTH(hash_html)=0" + limit, ids);
    for (const std::string& id : ids) {
      const int idx = doc->GetIdxFromID(LoadedIdOf(*this, id));
      xLog(LOG_INFO, "Sqlite database: calculate HTML hash for note ID=%s [%s]\n", id.c_str(),
           idx >= 0 ? doc->GetNodeByIdx(idx).GetTitle().c_str() : "");
      NoteNode scratch;
      scratch.m_strID = LoadedIdOf(*this, id);
      FetchNodeInfo(scratch, NIF_RICH_TEXT);
      // Not rendered (no renderer, logged): storing the empty hash would
      // leave the note to be found again on every call.
      if (scratch.m_strHashHtml.empty()) return changed;
      CppSQLite3Exception e;
      if (!UpdateOne(_db, "UPDATE notes SET hash_html=? WHERE note_id=?", scratch.m_strHashHtml, id, e))
        xLog(LOG_ERROR, "%s\n", SqliteMessage(e));
      changed = true;
      if (oneStep) return true;
    }
  }

  // Attachment codes.
  {
    std::vector<int64_t> ids;
    if (!CollectOrLog(_db, "SELECT att_id FROM attachments WHERE att_code IS NULL OR LENGTH(att_code)=0" + limit, ids))
      return changed;
    for (int64_t id : ids) {
      std::string code;
      doc->GenerateUniqueNodeID(code);
      CppSQLite3Exception e;
      if (!UpdateOne(_db, "UPDATE attachments SET att_code=? WHERE att_id=?", code, id, e))
        xLog(LOG_ERROR, "Sqlite format [update att_code]: Error: %s\n", SqliteMessage(e));
      changed = true;
      if (oneStep) return true;
    }
  }
  return changed;
}
