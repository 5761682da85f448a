// Pictures and attachments of an HTML export written as files into the
// export's side folder ("img/" and "attach/", in a frames export below
// "notes/").
//
// File names come from the document, so they are made safe first: a name
// is always one path component inside its folder. A file this run has
// written is never overwritten by a later picture or attachment of the same
// name; a file that existed before the run is overwritten only when the
// host allows it. A file that cannot be written fails the export (result
// 10), so that a page with missing pictures is not reported as written.

#include <cstdio>

#include "base/File64.h"
#include "base/FileUtil.h"
#include "base/Log.h"
#include "base/Progress.h"
#include "formats/export/FormatIOHtmlExport.h"
#include "formats/native/FormatIOHtml.h"
#include "formats/native/HtmlExportNames.h"
#include "html/HtmlWriteEscape.h"
#include "model/AttInfo.h"
#include "model/GuiControllerBase.h"
#include "model/NoteDocument.h"
#include "richtext/PixInfo.h"

using quillery::UriEscapePathSegment;

namespace {

const size_t kPieceSize = 2048;

}  // namespace

bool FormatIO_HTMLExport::ClaimExportFile(const std::string& path) {
  m_exportNames.Take(path);
  if (!File64::PathExists(path) || m_bOverwriteAll) return true;
  GuiControllerBase* gui = GetDoc()->GetGuiController();
  if (!gui || !gui->AskFileOverwrite(path.c_str())) return false;
  m_bOverwriteAll = true;
  return true;
}

bool FormatIO_HTMLExport::WriteSideFile(const std::string& path, const char* data, size_t len, bool pollCancel) {
  EnsureDirExists(GetFileDir(path));
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) {
    xLog(LOG_ERROR, "HTML export: cannot create [%s]\n", path.c_str());
    if (m_nSaveError == 0) m_nSaveError = DOC_SAVE_WRITE_ERROR;
    return false;
  }
  bool ok = true;
  for (size_t done = 0; done < len && ok;) {
    if (pollCancel && !m_bStringTarget && ProgressInfo::IsCanceled()) {
      fclose(f);
      remove(path.c_str());
      m_nSaveError = DOC_SAVE_ABORTED;
      return false;
    }
    const size_t piece = len - done < kPieceSize ? len - done : kPieceSize;
    ok = fwrite(data + done, 1, piece, f) == piece;
    done += piece;
  }
  if (fclose(f) != 0) ok = false;
  if (!ok) {
    xLog(LOG_ERROR, "HTML export: writing [%s] failed\n", path.c_str());
    remove(path.c_str());
    if (m_nSaveError == 0) m_nSaveError = DOC_SAVE_WRITE_ERROR;
  }
  return ok;
}

void FormatIO_HTMLExport::EncodePictureFile(const std::string& noteID, const PixInfo& pix, const char* data, size_t len,
                                      bool png, std::string& out) {
  ++m_nExportedPictures;
  const bool frames = g_bExportFrames;
  const std::string folder = _strExportSubDir + (frames ? "notes/img/" : "img/");
  const char* ext = png ? "png" : "jpg";
  char buf[64];
  std::string name = quillery::SafeExportFileName(pix.strName);
  if (name.empty()) {
    snprintf(buf, sizeof(buf), "Image_%04d.%s", m_nExportedPictures, ext);
    name = buf;
  }
  auto clashes = [this, &folder](const std::string& n) {
    return m_exportNames.IsTaken(folder + n) || File64::PathExists(folder + n);
  };
  auto numbered = [&](int attempt) {
    snprintf(buf, sizeof(buf), "_%04d.%s", attempt, ext);
    return quillery::SafeExportFileName("Image_" + noteID + buf);
  };
  if (clashes(name)) {
    // At most 42 names in all; the last one is used.
    for (int attempt = 1; attempt < 42 && clashes(name); ++attempt) name = numbered(attempt);
    while (m_exportNames.IsTaken(folder + name)) name = numbered(m_exportNames.NextAttempt(folder + noteID, 42));
  }
  const std::string path = folder + name;
  if (ClaimExportFile(path) && !WriteSideFile(path, data, len, false))
    xLog(LOG_INFO, "Failed to save image data to file\n");
  out = "<img alt=\"\" title=\"";
  quillery::AppendAttrValue(out, pix.strName);
  out += "\" src=\"";
  if (!frames) out += UriEscapePathSegment(_strExportSubName) + "/";
  out += "img/" + UriEscapePathSegment(name) + "\">";
}

std::string FormatIO_HTMLExport::WriteAttachmentFile(const AttInfo& att) {
  const bool frames = g_bExportFrames;
  const std::string folder = _strExportSubDir + (frames ? "notes/attach/" : "attach/");
  std::string name = quillery::SafeExportFileName(att.strName);
  if (name.empty()) {
    char buf[32];
    snprintf(buf, sizeof(buf), "Attachment%02d", m_nExportedAttachments);
    name = buf;
  }
  if (m_exportNames.IsTaken(folder + name)) {
    // Another attachment of this run has the name: "name_2.ext", ...
    const std::string ext = GetFileExt(name);
    const std::string stem = name.substr(0, name.size() - ext.size());
    const std::string key = folder + name;
    do {
      name = stem + "_" + std::to_string(m_exportNames.NextAttempt(key, 2)) + ext;
    } while (m_exportNames.IsTaken(folder + name));
  }
  const std::string path = folder + name;
  if (ClaimExportFile(path)) {
    xLog(LOG_INFO, "HTML::Save start writing %d attachment bytes\n", static_cast<int>(att.strData.size()));
    WriteSideFile(path, att.strData.data(), att.strData.size(), true);
  }
  return (frames ? std::string() : UriEscapePathSegment(_strExportSubName) + "/") + "attach/" +
         UriEscapePathSegment(name);
}
