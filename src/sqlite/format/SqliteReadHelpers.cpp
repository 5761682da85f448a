#include "sqlite/format/SqliteReadHelpers.h"

#include <sqlite3.h>
#include <strings.h>
#include <sys/stat.h>

#include <string>

#include "base/Progress.h"
#include "model/InternalIcons.h"
#include "model/NoteNode.h"
#include "sqlite/access/CppSQLite3.h"
#include "sqlite/format/FormatIO_Sqlite.h"

namespace quillery {

const char* SqliteMessage(const CppSQLite3Exception& e) { return e.errorMessage() ? e.errorMessage() : ""; }

bool SqliteIsBusy(int code) { return (code & 0xFF) == 5; }
bool SqliteIsNotADatabase(int code) { return (code & 0xFF) == 26; }

bool SqliteUsesWal(CppSQLite3DB& db) {
  CppSQLite3Exception err;
  CppSQLite3Query q = db.execQuery("PRAGMA journal_mode", &err);
  return err.errorCode() == 0 && !q.eof() && strcasecmp(q.getStringField(0, ""), "wal") == 0;
}

std::string SqliteFileSizeProblem(CppSQLite3DB& db, int64_t pages) {
  CppSQLite3Exception err;
  const int64_t pageSize = db.execScalar("PRAGMA page_size", &err);
  sqlite3_file* file = nullptr;
  sqlite3_int64 size = -1;
  if (sqlite3_file_control(db.handle(), "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || !file ||
      !file->pMethods || file->pMethods->xFileSize(file, &size) != SQLITE_OK)
    size = -1;
  if (err.errorCode() != 0 || pageSize <= 0 || size < 0) return "its size could not be read";
  if (SqliteUsesWal(db) ? size % pageSize == 0 : size == pages * pageSize) return std::string();
  return "it has " + std::to_string(size) + " bytes, not " + std::to_string(pages) + " pages of " +
         std::to_string(pageSize) + " bytes";
}

std::string SqliteShortFileProblem(CppSQLite3DB& db) {
  constexpr long long kSmallestPage = 512;
  // The name SQLite opened (symbolic links resolved), not the one given.
  const char* name = db.handle() ? sqlite3_db_filename(db.handle(), "main") : nullptr;
  struct stat st;
  if (!name || !*name || stat(name, &st) != 0) return std::string();  // no file (in memory), or SQLite tells
  const long long size = static_cast<long long>(st.st_size);
  if (size == 0 || size >= kSmallestPage) return std::string();
  return "it has " + std::to_string(size) + (size == 1 ? " byte" : " bytes") + ", less than one page of a database";
}

void SqliteStopOnCancel(CppSQLite3DB& db, bool stop) {
  if (!db.handle()) return;
  if (stop)
    sqlite3_progress_handler(db.handle(), 1000, [](void*) { return ProgressInfo::IsCanceled() ? 1 : 0; }, nullptr);
  else
    sqlite3_progress_handler(db.handle(), 0, nullptr, nullptr);
}

int BusyWaitUnlessCanceled(void*, int retries) {
  constexpr int kStepMs = 20;
  if (ProgressInfo::IsCanceled() || retries * kStepMs >= FormatIO_Sqlite::BUSY_TIMEOUT_MS) return 0;
  sqlite3_sleep(kStepMs);
  return 1;
}

void ParseStoredColor(const char* text, GdkColor& out) {
  GdkColor parsed = {0, 0, 0, 0};
  if (text && *text && gdk_color_parse(text, &parsed)) {
    out.red = parsed.red;
    out.green = parsed.green;
    out.blue = parsed.blue;
    return;
  }
  out.red = out.green = out.blue = 0;
}

const std::string& StoredIdOf(const FormatIO_Sqlite& fmt, const std::string& id) {
  if (fmt._mapNewToOldID.empty()) return id;
  auto it = fmt._mapNewToOldID.find(id);
  return it == fmt._mapNewToOldID.end() ? id : it->second;
}

const std::string& LoadedIdOf(const FormatIO_Sqlite& fmt, const std::string& storedId) {
  if (fmt._mapOldToNewID.empty()) return storedId;
  auto it = fmt._mapOldToNewID.find(storedId);
  return it == fmt._mapOldToNewID.end() ? storedId : it->second;
}

void ApplyBuiltInIconName(NoteNode& note) {
  if (note.m_nIconType < 0) return;
  if (note.m_strIconPath.empty()) note.m_strIconPath = InternalIcon_Index2Name(note.m_nIconType);
  note.m_nIconType = 0;
}

namespace {
bool RemapLink(LinkInfo& link, const std::map<std::string, std::string>& oldToNew) {
  if (!link.strLink.empty() || link.strTargetID.empty()) return false;
  auto it = oldToNew.find(link.strTargetID);
  if (it == oldToNew.end()) return false;
  link.strTargetID = it->second;
  return true;
}
}  // namespace

bool RemapNoteLinks(NoteNode& note, const std::map<std::string, std::string>& oldToNew) {
  if (oldToNew.empty()) return false;
  bool changed = RemapLink(note.m_objLink, oldToNew);
  for (LinkInfo& link : note.m_objText.m_lstLinks.Items()) changed = RemapLink(link, oldToNew) || changed;
  return changed;
}

}  // namespace quillery
