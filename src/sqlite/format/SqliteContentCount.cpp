// Counting the contents of every stored note without fetching them. The
// counts must be those of a full fetch, which drops damaged rows on the way
// (FetchNodeInfo, then NoteNode::FixFormatting): a picture without bytes, a
// picture read while its offset lies past the text and the pictures taken
// so far, a picture at a negative or repeated offset or past the end of the
// text, a link of the text that is empty or ends past the text and its
// pictures. Those rules need each note's text length in characters, which
// is read for the notes that have such rows.

#include "sqlite/format/SqliteContentCount.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/Log.h"
#include "base/Progress.h"
#include "base/StringUtil.h"
#include "sqlite/access/CppSQLite3.h"
#include "sqlite/format/FormatIO_Sqlite.h"
#include "sqlite/format/SqliteReadHelpers.h"
#include "sqlite/format/SqliteSchema.h"

namespace quillery {

namespace {

struct NoteRows {
  long long attachments = 0;
  std::vector<int> pictures;               // offsets of pictures with bytes, in the fetch's order
  std::vector<std::pair<int, int>> links;  // offset and length of the text's links
  int textLen = 0;
  bool clone = false;
};
// The rows read so far: each note ID's position in rows, plus one.
struct RowTable {
  IdHashMap index;
  std::vector<NoteRows> rows;
};

// Pictures a fetch keeps: first those it reads (each must lie within the
// text and the pictures taken before it), then the repair's rule.
int KeptPictures(const std::vector<int>& offsets, int textLen) {
  std::vector<int> read;
  for (int off : offsets)
    if (off <= textLen + static_cast<int>(read.size())) read.push_back(off);
  std::unordered_set<int> taken;
  std::vector<int> kept;
  for (int off : read)
    if (off >= 0 && taken.insert(off).second) kept.push_back(off);
  std::sort(kept.begin(), kept.end());
  for (size_t r = 0; r < kept.size(); ++r)
    if (kept[r] - static_cast<int>(r) > textLen) return static_cast<int>(r);
  return static_cast<int>(kept.size());
}

int KeptLinks(const std::vector<std::pair<int, int>>& links, int total) {
  int n = 0;
  for (const auto& l : links)
    if (l.second >= 1 && static_cast<long long>(l.first) + l.second <= total) ++n;
  return n;
}

// Characters of a text as the model counts them (up to a NUL), with a
// shortcut for the plain ASCII that most texts are.
int CharCount(const char* text) {
  const size_t len = strlen(text);
  size_t i = 0;
  while (i < len && static_cast<unsigned char>(text[i]) < 0x80) ++i;
  if (i == len) return static_cast<int>(len);
  return static_cast<int>(i + Utf8CharCount(text + i, len - i));
}

// Runs sql and hands every row to row() with the entry of its note ID
// (created when add, else rows of IDs not in the table are skipped). The
// rows of one note mostly come one after another: the last entry is reused
// without a lookup while the ID stays the same.
template <class Row>
bool ForEachRow(CppSQLite3DB& db, const char* sql, RowTable& table, bool add, bool logFailure, Row row) {
  CppSQLite3Exception err;
  CppSQLite3Query q = db.execQuery(sql, &err);
  std::string lastId;
  NoteRows* last = nullptr;
  bool lastValid = false;
  for (; err.errorCode() == 0 && !q.eof(); q.nextRow(&err)) {
    const char* id = q.getStringField(0, "");
    if (!lastValid || lastId != id) {
      lastId = id;
      lastValid = true;
      if (add) {
        int& at = table.index.Get(lastId);
        if (at == 0) {
          table.rows.emplace_back();
          at = static_cast<int>(table.rows.size());
        }
        last = &table.rows[static_cast<size_t>(at - 1)];
      } else {
        const int* at = table.index.Find(lastId);
        last = at ? &table.rows[static_cast<size_t>(*at - 1)] : nullptr;
      }
    }
    if (last) row(q, *last);
  }
  if (err.errorCode() == 0) return true;
  xLog(logFailure ? LOG_ERROR : LOG_DEBUG, "Sqlite format [count contents]: Sql [%s] failed! Error: %s\n", sql, SqliteMessage(err));
  return false;
}


}  // namespace

bool ReadNoteContents(CppSQLite3DB& db, ContentByStoredId& out, bool logFailure) {
  out = ContentByStoredId();
  // The rows of a note are those stored under its ID (a fetch asks for
  // exactly that ID, so other kinds of value never match).
  RowTable rows;
  bool ok = ForEachRow(db, "SELECT note_id, count(*) FROM attachments WHERE typeof(note_id)='text' GROUP BY note_id",
                       rows, true, logFailure, [](CppSQLite3Query& q, NoteRows& n) { n.attachments += q.getInt64Field(1, 0); });
  ok = ok && ForEachRow(db,
                        "SELECT note_id, note_offset FROM images WHERE typeof(note_id)='text' AND image_data IS NOT "
                        "NULL ORDER BY note_id, note_offset",
                        rows, true, logFailure, [](CppSQLite3Query& q, NoteRows& n) { n.pictures.push_back(q.getIntField(1, 0)); });
  // A link at a negative offset is the note's own link.
  ok = ok && ForEachRow(db, "SELECT note_id, note_offset, lnk_length FROM links WHERE typeof(note_id)='text'", rows,
                        true, logFailure, [](CppSQLite3Query& q, NoteRows& n) {
                          const int off = q.getIntField(1, 0);
                          if (off >= 0) n.links.emplace_back(off, q.getIntField(2, 0));
                        });
  // Text lengths, as the fetched text (up to a NUL) counts its characters,
  // and clones, as the tree read tells them.
  ok = ok && ForEachRow(db, "SELECT note_id, note_text, note_clone_id FROM notes WHERE typeof(note_id)='text'", rows,
                        false, logFailure, [](CppSQLite3Query& q, NoteRows& n) {
                          n.clone = *q.getStringField(2, "") != '\0';
                          if (n.pictures.empty() && n.links.empty()) return;
                          n.textLen = CharCount(q.getStringField(1, ""));
                        });
  if (!ok) return false;

  std::vector<StoredNoteContents> items(rows.rows.size());
  for (size_t i = 0; i < items.size(); ++i) {
    const NoteRows& n = rows.rows[i];
    StoredNoteContents& c = items[i];
    c.pictures = KeptPictures(n.pictures, n.textLen);
    c.attachments = n.attachments;
    c.links = KeptLinks(n.links, n.textLen + static_cast<int>(c.pictures));
    c.clone = n.clone;
  }
  out.Assign(std::move(rows.index), std::move(items));
  return true;
}

SqliteContentCounter::~SqliteContentCounter() {
  m_abandon = true;
  if (m_worker.joinable()) m_worker.join();
  if (m_checker.joinable()) m_checker.join();
}

void SqliteContentCounter::Start(const std::string& path, const std::string& password) {
  if (m_worker.joinable()) m_worker.join();
  if (m_checker.joinable()) m_checker.join();
  m_path = path;
  m_password = password;
  m_ok = false;
  m_checked = false;
  m_unmatched.clear();
  m_abandon = false;
  m_rows = ContentByStoredId();
  m_pending = true;
  // Each worker's thread comes from the thread budget; what gets none, Wait
  // does on the calling thread.
  StartWorker(m_share, m_worker, &SqliteContentCounter::Run, "content count");
  StartWorker(m_checkShare, m_checker, &SqliteContentCounter::RunCheck, "index count");
}

void SqliteContentCounter::StartWorker(ThreadShare& share, std::thread& worker, void (SqliteContentCounter::*job)(),
                                       const char* what) {
  if (share.Take(1) != 1) return;
  try {
    worker = std::thread(job, this);
  } catch (const std::exception& e) {
    xLog(LOG_DEBUG, "Sqlite %s: no worker thread (%s)\n", what, e.what());
    share.Release();
  }
}

const ContentByStoredId* SqliteContentCounter::Wait() {
  if (m_worker.joinable()) m_worker.join();
  else if (m_pending) Run();
  if (m_checker.joinable()) m_checker.join();
  else if (m_pending) RunCheck();
  m_pending = false;
  m_share.Release();
  m_checkShare.Release();
  return m_ok && m_checked ? &m_rows : nullptr;
}

bool SqliteContentCounter::OpenReader(CppSQLite3DB& db) {
  db.setBusyTimeout(FormatIO_Sqlite::BUSY_TIMEOUT_MS);
  CppSQLite3Exception err;
  // Read-only: this connection never writes, not even to roll back a hot
  // journal (the load's own connection reports such a file).
  db.open(m_path.c_str(), &err, true);
  if (err.errorCode() == 0 && !m_password.empty()) db.setPassword(m_password.c_str(), &err);
  if (err.errorCode() != 0 || !db.handle()) {
    xLog(LOG_DEBUG, "Sqlite content count: cannot open [%s]: %s\n", m_path.c_str(), SqliteMessage(err));
    return false;
  }
  sqlite3_busy_handler(db.handle(), BusyWaitUnlessCanceled, nullptr);
  sqlite3_progress_handler(
      db.handle(), 1000,
      [](void* abandon) {
        return ProgressInfo::IsCanceled() || static_cast<std::atomic<bool>*>(abandon)->load() ? 1 : 0;
      },
      &m_abandon);
  // One read for all the queries: they count one state of the file.
  db.execDML("BEGIN", &err);
  return err.errorCode() == 0;
}

void SqliteContentCounter::Run() {
  try {
    CppSQLite3DB db;
    m_ok = OpenReader(db) && ReadNoteContents(db, m_rows, false);
  } catch (const std::exception& e) {
    xLog(LOG_DEBUG, "Sqlite content count failed: %s\n", e.what());
    m_ok = false;
  } catch (...) {
    m_ok = false;
  }
  if (!m_ok) m_rows = ContentByStoredId();
}

void SqliteContentCounter::RunCheck() {
  try {
    CppSQLite3DB db;
    CppSQLite3Exception err;
    const bool open = OpenReader(db);
    if (open) m_unmatched = sqlite_schema::UnmatchedIndex(db, err);
    m_checked = open && err.errorCode() == 0;
    if (err.errorCode() != 0) xLog(LOG_DEBUG, "Sqlite index count failed: %s\n", SqliteMessage(err));
  } catch (const std::exception& e) {
    xLog(LOG_DEBUG, "Sqlite index count failed: %s\n", e.what());
    m_checked = false;
  } catch (...) {
    m_checked = false;
  }
}

}  // namespace quillery
