#include "HostFormats.h"

#include <memory>

#include "OutputText.h"
#include "model/FileFormatFactory.h"
#include "formats/export/FormatIOHtmlExport.h"
#include "formats/native/FormatIOHtml.h"
#include "formats/native/NativeRenderer.h"
#include "model/FormatIO_Base.h"
#include "formats/containers/FormatIO_EncHTML.h"
#include "formats/containers/FormatIO_ZlibHTML.h"
#include "sqlite/format/FormatIO_Sqlite.h"
#include "sqlite/format/FormatIO_SqliteEnc.h"

namespace quillery_host {
namespace {

FormatIO_Base* NewHtml() { return new FormatIO_HTML(); }
FormatIO_Base* NewHtmlExport() { return new FormatIO_HTMLExport(); }
FormatIO_Base* NewEncHtml() { return new FormatIO_EncHTML(); }
FormatIO_Base* NewZlibHtml() { return new FormatIO_ZlibHTML(); }
FormatIO_Base* NewSqlite() { return new FormatIO_Sqlite(); }
FormatIO_Base* NewSqliteEnc() { return new FormatIO_SqliteEnc(); }

struct FormatEntry {
  int id;
  const char* ext;
  const char* name;
  FormatIO_Base* (*create)();
  bool document;  // stores a whole document (not an export)
};

// One class may serve several identifiers: the document model prepares the
// object by the identifier (raw text for .hqy, export for .html).
const FormatEntry kFormats[] = {
    {FORMAT_HQY, ".hqy", "native HTML document, raw-text variant", NewHtml, true},
    {FORMAT_QYD, ".qyd", "native HTML document", NewHtml, true},
    {FORMAT_QYE, ".qye", "encrypted native HTML document", NewEncHtml, true},
    {FORMAT_HTML, ".html", "HTML (export; read as one note)", NewHtmlExport, false},
    {FORMAT_QYDB, ".qydb", "SQLite document", NewSqlite, true},
    {FORMAT_QYDE, ".qyde", "encrypted SQLite document", NewSqliteEnc, true},
    {FORMAT_QYZ, ".qyz", "compressed native HTML document", NewZlibHtml, true},
};

}  // namespace

void RegisterFormats() {
  static bool done = false;
  if (done) return;
  done = true;
  // The model hashes a note's HTML through the native writer.
  InstallNativeRenderer();
  for (const FormatEntry& f : kFormats) FileFormatFactory::Get().Register(f.id, f.create);
}

std::string LeftOutText(const FormatIO_Base* loader) {
  const auto* html = dynamic_cast<const FormatIO_HTML*>(loader);
  const int n = html ? html->PicturesLeftOut() : 0;
  if (n == 0) return std::string();
  const std::string& first = html->FirstPictureLeftOut();
  return std::to_string(n) + (n == 1 ? " picture" : " pictures") +
         " left out: a document holds only embedded PNG and JPEG pictures (" +
         (first.empty() ? std::string(n == 1 ? "it has" : "the first has") + " no source"
                        : std::string(n == 1 ? "its" : "the first's") + " source: " + Printable(first)) +
         ")";
}

std::string FormatName(int formatId) {
  for (const FormatEntry& f : kFormats)
    if (f.id == formatId) return std::string(f.name) + " (" + f.ext + ")";
  return "format " + std::to_string(formatId);
}

std::vector<int> RegisteredFormats() {
  std::vector<int> ids;
  for (const FormatEntry& f : kFormats) ids.push_back(f.id);
  return ids;
}

std::string FormatExtension(int formatId) {
  for (const FormatEntry& f : kFormats)
    if (f.id == formatId) return f.ext;
  return std::string();
}

bool StoresDocument(int formatId) {
  for (const FormatEntry& f : kFormats)
    if (f.id == formatId) return f.document;
  return false;
}

std::string LoadResultText(int result) {
  switch (result) {
    case DOC_LOAD_OK: return "loaded";
    case DOC_LOAD_ABORTED: return "cancelled";
    case DOC_LOAD_NOT_FOUND: return "no such file";
    case DOC_LOAD_WRONG_PASSWORD: return "wrong or empty password";
    case DOC_LOAD_UNKNOWN_FORMAT: return "unsupported file format";
    case DOC_LOAD_FORMAT_ERROR: return "not a valid document of its format (damaged or of another kind)";
    case DOC_LOAD_PERMISSIONS: return "permission denied";
    case DOC_LOAD_NOT_OPEN: return "cannot open the file (a folder, busy, or held by another process)";
    case DOC_LOAD_DECODER_FAIL: return "the decoder failed to start";
    case DOC_LOAD_DISK_FULL: return SaveResultText(DOC_SAVE_WRITE_ERROR);
    case DOC_LOAD_NO_MEMORY: return "out of memory";
    default: return "unknown error";
  }
}

bool IsEncryptedFormat(int formatId) {
  std::unique_ptr<FormatIO_Base> fmt(FileFormatFactory::Get().CreateFileFormat(formatId));
  return fmt && fmt->IsEncrypted();
}

int OlderDatabaseVersion(const std::string& path, const char* password) {
  FormatIO_Sqlite probe;
  CppSQLite3Exception err;
  probe._db.open(path.c_str(), &err, true);
  if (password && *password) probe._db.setPassword(password, &err);
  if (err.errorCode() == 0) probe._db.execQuery("SELECT count(*) FROM sqlite_master", &err);
  const int version = err.errorCode() == 0 ? probe.CalcFormatVersion() : FormatIO_Sqlite::LATEST_FORMAT_VERSION;
  probe.Close();
  return version < FormatIO_Sqlite::LATEST_FORMAT_VERSION ? version : 0;
}

std::string SaveResultText(int result) {
  switch (result) {
    case DOC_SAVE_OK: return "saved";
    case DOC_SAVE_ABORTED: return "cancelled";
    case DOC_SAVE_UNKNOWN_FORMAT: return "unsupported file format";
    case DOC_SAVE_RENAME_FAILED: return "cannot replace the existing file";
    case DOC_SAVE_NOT_OPEN: return "cannot open the output file";
    case DOC_SAVE_COMMIT_FAILED: return "the database commit failed";
    case DOC_SAVE_CSS_FAILED: return "cannot read the export style sheet";
    case DOC_SAVE_ERROR: return "no usable password, or a step of the save failed";
    case DOC_SAVE_WRITE_ERROR: return "writing failed (disk full, a file-size limit, an I/O error)";
    case DOC_SAVE_NOT_WRITABLE: return "the target is not writable";
    case DOC_SAVE_NO_MEMORY: return "out of memory";
    default: return "unknown error";
  }
}

int SaveCauseNumber(int result) {
  switch (result) {
    case DOC_SAVE_ABORTED: return DOC_LOAD_ABORTED;
    case DOC_SAVE_UNKNOWN_FORMAT: return DOC_LOAD_UNKNOWN_FORMAT;
    default: return result > 0 && result < 10 ? result + 10 : result;
  }
}

std::string CauseNumbersHelp() {
  std::string text;
  auto line = [&text](int number, const std::string& meaning) {
    text += "  " + std::to_string(number) + (number < 10 ? "   " : "  ") + meaning + "\n";
  };
  for (int r = DOC_LOAD_ABORTED; r <= DOC_LOAD_DECODER_FAIL; ++r) line(r, LoadResultText(r));
  for (int r : {DOC_SAVE_WRITE_ERROR, DOC_SAVE_NOT_WRITABLE, DOC_SAVE_NO_MEMORY, DOC_SAVE_RENAME_FAILED,
                DOC_SAVE_NOT_OPEN, DOC_SAVE_COMMIT_FAILED, DOC_SAVE_CSS_FAILED, DOC_SAVE_ERROR})
    line(SaveCauseNumber(r), SaveResultText(r));
  return text;
}

}  // namespace quillery_host
