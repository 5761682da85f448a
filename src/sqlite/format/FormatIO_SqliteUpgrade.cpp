// Format versions and upgrades: the file's version is read from its schema
// (tables, columns, one index), and an older file is brought to the latest
// version step by step. Every ALTER is guarded by a column probe and every
// CREATE has IF NOT EXISTS, so the chain can run again without changing
// anything.
//
// The whole chain runs inside one savepoint: a step that fails rolls every
// step back, so a failed upgrade leaves the file exactly as it was (and never
// half-upgraded, which the version probes could not tell from a finished
// step). It nests in the long-running transaction (begun by the load before
// the upgrade, and again by a save to the same file), so an upgrade reaches
// the file only with a save; outside a transaction the savepoint is the
// transaction.

#include <sqlite3.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/FileUtil.h"
#include "base/Log.h"
#include "base/StopWatch.h"
#include "model/NoteDocument.h"
#include "sqlite/format/FormatIO_Sqlite.h"
#include "sqlite/format/SqliteSchema.h"

namespace schema = quillery::sqlite_schema;

namespace {

const char* Msg(const CppSQLite3Exception& e) { return e.errorMessage() ? e.errorMessage() : ""; }

// Quotes an SQL identifier with double quotes, doubling any inside.
std::string QuoteId(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

// Splits a comma-separated column list.
std::vector<std::string> SplitList(const std::string& list) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= list.size() && !list.empty()) {
    const size_t comma = list.find(',', start);
    out.push_back(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return out;
}

// Runs one statement with an error record of its own; a failure is logged
// and, when err is given and holds none yet, kept there.
bool RunLogged(CppSQLite3DB& db, const std::string& sql, const char* logFmt, CppSQLite3Exception* err) {
  CppSQLite3Exception e;
  db.execDML(sql.c_str(), &e);
  if (e.errorCode() == 0) return true;
  xLog(LOG_ERROR, logFmt, Msg(e));
  if (err && err->errorCode() == 0) *err = e;
  return false;
}

// The upgrade chain's statement runner: every statement runs with an error
// record of its own, and the first failure is kept in the caller's record.
class UpgradeRun {
 public:
  UpgradeRun(CppSQLite3DB& db, CppSQLite3Exception& err) : m_db(db), m_err(err) {}

  bool Missing(const char* table, const char* column) { return !m_db.getTableColExists(table, column); }

  bool Exec(const char* sql, const char* logFmt = "Sqlite format [alter db]: Error: %s\n") {
    return RunLogged(m_db, sql, logFmt, &m_err);
  }

  // Adds the column when the table lacks it.
  bool AddColumn(const char* table, const char* column, const char* alterSql) {
    return !Missing(table, column) || Exec(alterSql);
  }

 private:
  CppSQLite3DB& m_db;
  CppSQLite3Exception& m_err;
};

// Undoes everything since the savepoint, without reporting (the outcome is
// already decided). A savepoint that opened the transaction ends with a plain
// rollback: releasing it would commit an empty write transaction, which still
// rewrites the file's header.
void UndoSavepoint(CppSQLite3DB& db, const char* name, bool outermost = false) {
  CppSQLite3Exception e;
  if (outermost) {
    db.execDML("ROLLBACK", &e);
    return;
  }
  const std::string rollback = std::string("ROLLBACK TO ") + name;
  const std::string release = std::string("RELEASE ") + name;
  db.execDML(rollback.c_str(), &e);
  db.execDML(release.c_str(), &e);
}

// No transaction is open on the connection.
bool Autocommit(const CppSQLite3DB& db) { return db.handle() && sqlite3_get_autocommit(db.handle()) != 0; }

// Creates the per-note lookup indexes a file of the latest version lacks,
// inside the caller's savepoint "qy_upgrade", and releases it. False when
// nothing had to be created (the savepoint is still open then) or the
// creation failed (logged; the savepoint is still open and the file works
// as before, only slower).
bool AddNoteLookupIndexes(CppSQLite3DB& db) {
  namespace schema = quillery::sqlite_schema;
  bool missing = false;
  for (const char* name : schema::kNoteLookupIndexNames) missing = missing || !db.indexExists(name);
  if (!missing) return false;
  CppSQLite3Exception e;
  for (const char* sql : schema::kCreateNoteLookupIndexSql)
    if (e.errorCode() == 0) db.execDML(sql, &e);
  if (e.errorCode() == 0) db.execDML("RELEASE qy_upgrade", &e);
  if (e.errorCode() != 0) {
    xLog(LOG_ERROR, "Sqlite format [create indexes]: Error: %s\n", e.errorMessage() ? e.errorMessage() : "");
    return false;
  }
  return true;
}

}  // namespace

int FormatIO_Sqlite::CalcFormatVersion() const {
  // The first probe that fails gives the version; a null table marks the
  // index probe.
  static const struct {
    const char* table;
    const char* name;
  } kProbes[] = {
      {"notes", "note_id"},            {"notes", "is_readonly"},
      {"notes", "note_clone_id"},      {"notes", "syntax_highlight"},
      {"tasks", "alarm_sound"},        {"formatting", "fmt_value"},
      {"custom_properties", "note_id"}, {"notes", "use_custom_txt_color"},
      {"icons", "note_id"},            {"attachments", "att_size"},
      {"notes", "use_custom_note_bkg_color"}, {"notes", "hash"},
      {"notes", "hash_html"},          {"anchors", "anc_id"},
      {nullptr, "IDX_NOTE_HASH"},      {"deletions", "del_id"},
      {"tasks", "script_path"},        {"deletions_attachments", "del_id"},
      {"tasks", "alarm_mode"},         {"attachments", "att_target"},
      {"links", "lnk_length"},
  };
  static_assert(sizeof(kProbes) / sizeof(kProbes[0]) == LATEST_FORMAT_VERSION, "one probe per version");
  for (int i = 0; i < LATEST_FORMAT_VERSION; ++i) {
    const bool ok = kProbes[i].table ? _db.getTableColExists(kProbes[i].table, kProbes[i].name)
                                     : _db.indexExists(kProbes[i].name);
    if (!ok) return i;
  }
  return LATEST_FORMAT_VERSION;
}

int FormatIO_Sqlite::ReadFormatVersion(CppSQLite3Exception& err) const {
  // The probes cannot tell a missing column from a schema that could not be
  // read (a lock held elsewhere, a wrong key, a file that is no database).
  long long objects = 0;
  {
    CppSQLite3Query q = _db.execQuery("SELECT count(*) FROM sqlite_master", &err);
    if (err.errorCode() != 0) return -1;
    if (!q.eof()) objects = q.getInt64Field(0, 0);
  }
  const int version = CalcFormatVersion();
  return version == 0 && objects > 0 ? NOT_A_DOCUMENT : version;
}

int FormatIO_Sqlite::getTableColumnsCount(const char* table) const {
  const std::string sql = std::string("SELECT * from [") + table + "] LIMIT 1";
  CppSQLite3Exception e;
  CppSQLite3Query q = _db.execQuery(sql.c_str(), &e);
  if (e.errorCode() != 0) {
    xLog(LOG_ERROR, "%s\n", Msg(e));
    return -1;
  }
  return q.numFields();
}

bool FormatIO_Sqlite::getTableColumnsList(std::string& out, const char* table, int max) const {
  const std::string sql = std::string("PRAGMA table_info ('") + table + "')";
  CppSQLite3Exception e;
  CppSQLite3Query q = _db.execQuery(sql.c_str(), &e);
  int taken = 0;
  while (e.errorCode() == 0 && !q.eof()) {
    if (taken > 0) out += ",";
    out += q.getStringField(1, "");
    ++taken;
    if (max >= 0 && taken >= max) break;
    q.nextRow(&e);
  }
  if (e.errorCode() != 0) {
    xLog(LOG_ERROR, "%s\n", Msg(e));
    return false;
  }
  return true;
}

namespace {

// The columns of dst that src has too (names compared without letter case),
// quoted and comma-separated, in dst's order; skip names a column left out.
bool CommonColumns(const FormatIO_Sqlite& fmt, const char* dst, const char* src, const char* skip,
                   std::string& out) {
  std::string dstList, srcList;
  if (!fmt.getTableColumnsList(dstList, dst, -1) || !fmt.getTableColumnsList(srcList, src, -1)) return false;
  const std::vector<std::string> srcCols = SplitList(srcList);
  out.clear();
  for (const std::string& col : SplitList(dstList)) {
    if (skip && sqlite3_stricmp(col.c_str(), skip) == 0) continue;
    bool inSrc = false;
    for (const std::string& s : srcCols) inSrc = inSrc || sqlite3_stricmp(s.c_str(), col.c_str()) == 0;
    if (!inSrc) continue;
    if (!out.empty()) out += ",";
    out += QuoteId(col);
  }
  return true;
}


// Rebuilds table under createSql and copies its rows across. Columns are
// matched by name: an old table's columns may stand in any order (columns
// added by ALTER sit at its end), so copying by position would move values
// into the wrong columns, and fails outright when the counts differ. Columns
// the new definition lacks are dropped; new columns get their defaults.
bool RebuildTable(const FormatIO_Sqlite& fmt, CppSQLite3DB& db, const char* table, const char* createSql,
                  CppSQLite3Exception* err) {
  const std::string t = table;
  const std::string old = t + "_old";
  if (!RunLogged(db, "ALTER TABLE [" + t + "] RENAME TO [" + old + "]", "Sqlite format [rename table]: Error: %s\n",
                 err))
    return false;
  if (!RunLogged(db, createSql, "Sqlite format [create new table]: Error: %s\n", err)) return false;
  std::string cols;
  if (!CommonColumns(fmt, table, old.c_str(), nullptr, cols)) {
    if (err && err->errorCode() == 0)
      *err = CppSQLite3Exception(CPPSQLITE_ERROR, "Cannot read the columns of the table", false);
    return false;
  }
  if (!RunLogged(db, "INSERT INTO [" + t + "] (" + cols + ") SELECT " + cols + " FROM [" + old + "]",
                 "Sqlite format [insert from tmp]: Error: %s\n", err))
    return false;
  return RunLogged(db, "DROP TABLE [" + old + "]", "Sqlite format [drop tmp table]: Error: %s\n", err);
}

// An early version kept the properties in custo_properties. When the
// current table is still empty it is replaced by the old one; when the
// current table already holds rows, the old rows are added to them instead,
// so neither table's properties are lost.
bool AdoptOldPropertiesTable(const FormatIO_Sqlite& fmt, CppSQLite3DB& db, CppSQLite3Exception& err) {
  const char* logFmt = "Sqlite format [rename notes]: Error: %s\n";
  CppSQLite3Exception e;
  const int rows = db.execScalar("SELECT count(*) FROM [custom_properties]", &e);
  if (rows <= 0) {
    return RunLogged(db, "DROP TABLE [custom_properties]", logFmt, &err) &&
           RunLogged(db, "ALTER TABLE [custo_properties] RENAME TO [custom_properties]", logFmt, &err);
  }
  std::string cols;
  if (!CommonColumns(fmt, "custom_properties", "custo_properties", "id", cols)) {
    if (err.errorCode() == 0) err = CppSQLite3Exception(CPPSQLITE_ERROR, "Cannot read the columns of the table", false);
    return false;
  }
  return RunLogged(db, "INSERT INTO [custom_properties] (" + cols + ") SELECT " + cols + " FROM [custo_properties]",
                   logFmt, &err) &&
         RunLogged(db, "DROP TABLE [custo_properties]", logFmt, &err);
}

void LogStep(int from) {
  xLog(LOG_INFO, "Sqlite database: update format from version %d to %d\n", from, from + 1);
}

// The steps from version on, each falling through into the next. Returns
// false when a step stopped the chain; steps that go on after a failure
// leave it in err.
bool RunSteps(const FormatIO_Sqlite& fmt, CppSQLite3DB& db, int version, CppSQLite3Exception& err) {
  UpgradeRun run(db, err);
  switch (version) {
    case 1: {
      LogStep(1);
      bool ok = run.AddColumn("notes", "is_readonly", "ALTER TABLE [notes] ADD [is_readonly] BOOLEAN NULL");
      ok = run.AddColumn("notes", "is_template", "ALTER TABLE [notes] ADD [is_template] BOOLEAN NULL") && ok;
      ok = run.Exec(schema::kCreateOptions) && ok;
      ok = run.Exec(schema::kCreateBookmarks) && ok;
      ok = run.Exec(schema::kCreateTasks) && ok;
      ok = run.Exec(schema::kIdxFormattingNoteOffset) && ok;
      ok = run.Exec(schema::kIdxLinksNoteOffset) && ok;
      if (!ok) return false;
    }
      [[fallthrough]];
    case 2: {
      LogStep(2);
      bool ok = true;
      if (!db.tableExists("tasks")) {
        ok = run.Exec(schema::kCreateTasks);
      } else if (run.Missing("tasks", "date_created")) {
        ok = run.Exec("DROP TABLE [tasks]") && run.Exec(schema::kCreateTasks);
      }
      ok = run.AddColumn("notes", "note_clone_id", "ALTER TABLE [notes] ADD [note_clone_id] VARCHAR(30) NULL") && ok;
      if (!ok) return false;
    }
      [[fallthrough]];
    case 3:
      LogStep(3);
      if (!run.AddColumn("notes", "syntax_highlight", "ALTER TABLE [notes] ADD [syntax_highlight] VARCHAR(120) NULL"))
        return false;
      [[fallthrough]];
    case 4:
      LogStep(4);
      if (!run.AddColumn("tasks", "alarm_sound", "ALTER TABLE [tasks] ADD [alarm_sound] TEXT NULL")) return false;
      [[fallthrough]];
    case 5:
      LogStep(5);
      if (!run.AddColumn("formatting", "fmt_value", "ALTER TABLE [formatting] ADD [fmt_value] INTEGER NULL"))
        return false;
      [[fallthrough]];
    case 6:
      LogStep(6);
      if (!run.Exec(schema::kCreateCustomProperties, "Sqlite format [create props]: Error: %s\n")) return false;
      [[fallthrough]];
    case 7: {
      LogStep(7);
      // Each column is probed on its own: a file that has some of them must
      // not fail on adding one it already has.
      static const char* const kColumns[][2] = {
          {"use_custom_txt_color", "ALTER TABLE [notes] ADD [use_custom_txt_color] BOOLEAN NULL"},
          {"use_custom_bkg_color", "ALTER TABLE [notes] ADD [use_custom_bkg_color] BOOLEAN NULL"},
          {"use_custom_font", "ALTER TABLE [notes] ADD [use_custom_font] BOOLEAN NULL"},
          {"custom_txt_color", "ALTER TABLE [notes] ADD [custom_txt_color] VARCHAR(50) NULL"},
          {"custom_bkg_color", "ALTER TABLE [notes] ADD [custom_bkg_color] VARCHAR(50) NULL"},
          {"custom_font", "ALTER TABLE [notes] ADD [custom_font] VARCHAR(255) NULL"},
      };
      bool ok = true;
      for (const auto& c : kColumns) ok = run.AddColumn("notes", c[0], c[1]) && ok;
      if (!ok) return false;
    }
      [[fallthrough]];
    case 8:
      LogStep(8);
      if (!run.Exec(schema::kCreateIcons)) return false;
      [[fallthrough]];
    case 9:
      LogStep(9);
      if (!run.AddColumn("attachments", "att_size",
                         "ALTER TABLE [attachments] ADD [att_size] INTEGER NOT NULL DEFAULT 0") ||
          !run.Exec("UPDATE attachments SET att_size=LENGTH(att_data)"))
        return false;
      [[fallthrough]];
    case 10:
      LogStep(10);
      if (!run.AddColumn("notes", "use_custom_note_bkg_color",
                         "ALTER TABLE [notes] ADD [use_custom_note_bkg_color] BOOLEAN  NULL") ||
          !run.AddColumn("notes", "custom_note_bkg_color",
                         "ALTER TABLE [notes] ADD [custom_note_bkg_color] VARCHAR(50) NULL"))
        return false;
      [[fallthrough]];
    case 11:
      LogStep(11);
      if (!run.AddColumn("notes", "hash", "ALTER TABLE [notes] ADD [hash] VARCHAR(64) NULL") ||
          !run.AddColumn("attachments", "hash", "ALTER TABLE [attachments] ADD [hash] VARCHAR(64) NULL"))
        return false;
      [[fallthrough]];
    // From here on a failed step is logged and the chain goes on; the error
    // stays in err all the same.
    case 12:
      LogStep(12);
      run.AddColumn("notes", "hash_html", "ALTER TABLE [notes] ADD [hash_html] VARCHAR(64) NULL");
      [[fallthrough]];
    case 13:
      LogStep(13);
      run.Exec(schema::kCreateAnchors);
      [[fallthrough]];
    case 14:
      LogStep(14);
      run.Exec(schema::kIdxNoteHash);
      run.Exec(schema::kIdxNoteHashHtml);
      [[fallthrough]];
    case 15:
      LogStep(15);
      run.Exec(schema::kCreateDeletions);
      [[fallthrough]];
    case 16:
      LogStep(16);
      run.AddColumn("tasks", "script_path", "ALTER TABLE [tasks] ADD [script_path] TEXT NULL");
      [[fallthrough]];
    case 17:
      LogStep(17);
      run.Exec(schema::kIdxDeletionsNote);
      run.Exec(schema::kCreateDeletionsAttachments);
      run.Exec(schema::kIdxDeletionsAttNote);
      run.AddColumn("attachments", "att_code", "ALTER TABLE [attachments] ADD [att_code] VARCHAR(30) NULL");
      [[fallthrough]];
    case 18:
      LogStep(18);
      if (run.Missing("tasks", "alarm_mode")) {
        // Rebuild of notes and tasks under their current definitions.
        StopWatch sw;
        if (!run.Exec("SAVEPOINT qy_rebuild", "%s\n")) return false;
        bool ok = RebuildTable(fmt, db, "notes", schema::kCreateNotes, &err) &&
                  RebuildTable(fmt, db, "tasks", schema::kCreateTasks, &err);
        if (ok && db.tableExists("custo_properties") && db.getTableColExists("custo_properties", "note_id"))
          ok = AdoptOldPropertiesTable(fmt, db, err);
        if (!ok) {
          UndoSavepoint(db, "qy_rebuild");
          return false;
        }
        const int64_t ms = sw.GetElapsedMiliSeconds();
        if (ms > 100) {
          std::string text;
          StopWatch::FormatDiffMsec(ms, text);
          xLog(LOG_DEBUG, "Sql fix executed in %s!\n", text.c_str());
        }
        run.Exec("RELEASE qy_rebuild", "%s\n");
      }
      [[fallthrough]];
    case 19:
      run.AddColumn("attachments", "att_target", "ALTER TABLE [attachments] ADD [att_target] VARCHAR(64) NULL");
      [[fallthrough]];
    case 20:
      if (!run.Missing("links", "lnk_text")) {
        // Links kept their text; they keep its length now.
        if (!run.Exec("SAVEPOINT qy_rebuild", "%s\n")) return false;
        CppSQLite3Exception own;
        db.execDML("ALTER TABLE [links] ADD [lnk_length] INTEGER NULL", &own);
        if (own.errorCode() != 0) xLog(LOG_WARNING, "Sqlite format [alter db]: Error: %s\n", Msg(own));
        // A column that is there already is no failure; a file that may not
        // be written, a full disk or no memory is, and its cause is kept.
        const bool harmless = own.errorCode() == 0 || own.errorCode() == SQLITE_ERROR;
        if (!harmless && err.errorCode() == 0) err = own;
        if (!harmless || !run.Exec("UPDATE links SET lnk_length=LENGTH(lnk_text)") ||
            !RebuildTable(fmt, db, "links", schema::kCreateLinks, &err)) {
          UndoSavepoint(db, "qy_rebuild");
          return false;
        }
        run.Exec("RELEASE qy_rebuild", "%s\n");
      } else {
        // A links table without either column would otherwise stay below
        // the latest version for good.
        run.AddColumn("links", "lnk_length", "ALTER TABLE [links] ADD [lnk_length] INTEGER NULL");
      }
      break;
    default:
      break;
  }
  return true;
}

// "PRAGMA integrity_check"; indexes are rebuilt when it finds anything.
void IntegrityCheck(CppSQLite3DB& db, CppSQLite3Exception& err) {
  std::string text;
  {
    CppSQLite3Query q = db.execQuery("PRAGMA integrity_check", &err);
    if (err.errorCode() != 0) {
      xLog(LOG_ERROR, "%s\n", Msg(err));
      return;
    }
    if (q.eof()) return;
    text = q.getStringField(0, "");
  }
  if (text == "ok") return;
  xLog(LOG_WARNING, "Sqlite index corruption detected, rebuilding indexes: %s\n", text.c_str());
  db.execDML("REINDEX", &err);
  if (err.errorCode() != 0) xLog(LOG_ERROR, "Sqlite format [compact database]: Error: %s\n", Msg(err));
}

}  // namespace

bool FormatIO_Sqlite::fixTableColumnNames(const char* table, const char* createSql, bool /*fromOld*/) const {
  return RebuildTable(*this, _db, table, createSql, nullptr);
}

void FormatIO_Sqlite::CheckFormatUpgrade(CppSQLite3Exception& err) {
  const char* kSkipLatest = "Sqlite database: skip format upgrade check (latest version)\n";
  if (_nDetectedVersion == LATEST_FORMAT_VERSION) {
    xLog(LOG_INFO, "%s", kSkipLatest);
    return;
  }
  if (access(_strPath.c_str(), F_OK) == 0 && !CheckFileWriteAccess(_strPath)) {
    xLog(LOG_INFO, "Sqlite database: skip format upgrade check (read-only file)\n");
    return;
  }
  xLog(LOG_DEBUG, "Sqlite database: check format upgrade\n");
  if (err.errorCode() != 0) {
    // An earlier failure of the caller: the state of the connection is not
    // known, so nothing is changed.
    xLog(LOG_ERROR, "Sqlite database: format upgrade skipped after an earlier error\n");
    return;
  }

  const bool outermost = Autocommit(_db);
  _db.execDML("SAVEPOINT qy_upgrade", &err);
  if (err.errorCode() != 0) {
    xLog(LOG_ERROR, "Sqlite format [alter db]: Error: %s\n", Msg(err));
    return;
  }
  // The schema is read (and probed) under the savepoint's lock.
  const int found = ReadFormatVersion(err);
  if (found == NOT_A_DOCUMENT && _nDetectedVersion < 0) {
    // Our tables would be created beside what it holds, and it would read
    // as an empty document.
    quillery::SqliteReport(&err, SQLITE_CORRUPT, "the database holds tables but not the document's notes table");
  }
  if (err.errorCode() != 0) {
    xLog(LOG_ERROR, "%s\n", Msg(err));
    UndoSavepoint(_db, "qy_upgrade", outermost);
    return;
  }
  if (_nDetectedVersion < 0) {
    _nDetectedVersion = found;
    _bHasIsTaskColumn = _db.getTableColExists("notes", "is_task");
  }
  if (_nDetectedVersion == LATEST_FORMAT_VERSION) {
    xLog(LOG_INFO, "%s", kSkipLatest);
    if (!AddNoteLookupIndexes(_db)) UndoSavepoint(_db, "qy_upgrade", outermost);  // nothing was written
    return;
  }
  xLog(LOG_DEBUG, "Sqlite database: detected format version %d, latest version is %d\n", _nDetectedVersion,
       LATEST_FORMAT_VERSION);
  if (_nDetectedVersion == 0) {
    CreateTables(err);
  } else {
    RunSteps(*this, _db, _nDetectedVersion, err);
  }
  // Every index too: a new file gets them here, and an older file gets the
  // ones no step creates (and those a table rebuild dropped with the table).
  if (err.errorCode() == 0) CreateIndexes(err);
  if (err.errorCode() == 0 && _nDetectedVersion > 0) IntegrityCheck(_db, err);

  if (err.errorCode() == 0) {
    CppSQLite3Exception e;
    _db.execDML("RELEASE qy_upgrade", &e);
    if (e.errorCode() != 0) {
      xLog(LOG_ERROR, "%s\n", Msg(e));
      err = e;
    }
  }
  if (err.errorCode() != 0) {
    UndoSavepoint(_db, "qy_upgrade", outermost);
    xLog(LOG_WARNING, "Sqlite database: format upgrade failed, the file is left as it was\n");
  }
  // A rebuilt notes table no longer has the old column.
  _bHasIsTaskColumn = _db.getTableColExists("notes", "is_task");
}

void FormatIO_Sqlite::FixCustomPropertiesTable() const {
  if (!m_pDoc || m_pDoc->m_bPlugin || _bLoadedByAnotherProcess) return;
  bool broken = false;
  {
    CppSQLite3Exception e;
    CppSQLite3Query q = _db.execQuery("SELECT sql FROM sqlite_master WHERE name='custom_properties'", &e);
    if (e.errorCode() != 0) {
      xLog(LOG_ERROR, "Sqlite format [fix custom prop]: Error: %s\n", Msg(e));
      return;
    }
    if (!q.eof()) broken = std::strstr(q.getStringField(0, ""), "UNIQUE") != nullptr;
  }
  if (!broken) return;
  // The rows are copied from the table itself (not from memory): that keeps
  // every stored property, and never writes properties of notes that a merge
  // brought from elsewhere. One savepoint: a failure keeps the old table.
  CppSQLite3Exception e;
  const bool outermost = Autocommit(_db);
  _db.execDML("SAVEPOINT qy_fixprops", &e);
  if (e.errorCode() != 0) {
    xLog(LOG_ERROR, "%s\n", Msg(e));
    return;
  }
  if (!RebuildTable(*this, _db, "custom_properties", schema::kCreateCustomProperties, &e)) {
    UndoSavepoint(_db, "qy_fixprops", outermost);
    return;
  }
  _db.execDML("RELEASE qy_fixprops", &e);
  if (e.errorCode() != 0) {
    xLog(LOG_ERROR, "%s\n", Msg(e));
    UndoSavepoint(_db, "qy_fixprops", outermost);
  }
}
