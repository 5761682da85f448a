// Pictures and attachments of an HTML export written as files into the
// export's side folder ("img/" and "attach/", in a frames export below
// "notes/").
//
// File names come from the document, so they are made safe first: a name
// is always one path component inside its folder. A file this run has
// written is never overwritten by a later picture or attachment of the same
// name. A file that cannot be written fails the export (result 10), so that
// a page with missing pictures is not reported as written.
//
// Every side file (pictures, attachments, note pages, the frames tree and
// title page, the copied template) is written through WriteSideFile into
// the run's build folder (HtmlExportSideFolder): never through a symbolic
// link, folders made only when a file goes into them.

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/File64.h"
#include "base/FileUtil.h"
#include "base/Log.h"
#include "base/Progress.h"
#include "save/SafeSave.h"
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

int FormatIO_HTMLExport::OpenSideFile(const std::string& path) {
  const std::string& root = _strExportSubDir;
  if (root.size() < 2 || path.size() <= root.size() || path.compare(0, root.size(), root) != 0) {
    errno = EINVAL;
    return -1;
  }
  // Each folder from the side folder down is opened without following a
  // link, and the file is opened by name inside the last one: no link in
  // the side folder leads a write elsewhere.
  int dir = open(root.substr(0, root.size() - 1).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  size_t start = root.size();
  for (size_t slash; dir >= 0 && (slash = path.find('/', start)) != std::string::npos; start = slash + 1) {
    const std::string part = path.substr(start, slash - start);
    mkdirat(dir, part.c_str(), 0777);  // an existing folder is used as it is
    const int next = openat(dir, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(dir);
    dir = next;
  }
  if (dir < 0) return -1;
  const char* name = path.c_str() + start;
  // Non-blocking, so that a FIFO in the file's place cannot stall the export.
  const int flags = O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  int fd = openat(dir, name, flags | O_CREAT | O_EXCL, 0666);
  if (fd < 0 && errno == EEXIST) fd = openat(dir, name, flags);  // a file of the copied template
  const int err = errno;
  close(dir);
  errno = err;
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ftruncate(fd, 0) != 0) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

std::string FormatIO_HTMLExport::FirstNonFolder(const std::string& path) const {
  const std::string& root = _strExportSubDir;
  if (root.size() < 2 || path.compare(0, root.size(), root) != 0) return std::string();
  for (size_t slash = root.size() - 1; slash != std::string::npos; slash = path.find('/', slash + 1)) {
    struct stat st;
    const std::string folder = path.substr(0, slash);
    if (lstat(folder.c_str(), &st) != 0) return std::string();
    if (!S_ISDIR(st.st_mode)) return folder;
  }
  return std::string();
}

bool FormatIO_HTMLExport::WriteSideFile(const std::string& path, const char* data, size_t len, bool pollCancel) {
  const int fd = OpenSideFile(path);
  if (fd < 0) {
    const int err = errno;
    xLog(LOG_ERROR, "HTML export: cannot create [%s]: %s\n", path.c_str(), strerror(err));
    // The cause the user can act on: most often a file standing where a
    // folder of the export goes.
    const std::string blocker = FirstNonFolder(path);
    quillery::SetFailureReason(!blocker.empty() ? blocker + " stands where a folder of the export goes"
                                                : "cannot create " + path + ": " + quillery::ReasonForErrno(err));
    if (m_nSaveError == 0) m_nSaveError = DOC_SAVE_WRITE_ERROR;
    return false;
  }
  bool ok = true;
  for (size_t done = 0; done < len && ok;) {
    if (pollCancel && !m_bStringTarget && ProgressInfo::IsCanceled()) {
      close(fd);
      m_nSaveError = DOC_SAVE_ABORTED;
      return false;
    }
    const size_t piece = len - done < kPieceSize ? len - done : kPieceSize;
    const ssize_t n = write(fd, data + done, piece);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  if (close(fd) != 0) ok = false;
  if (!ok) {
    // The failed export takes the file back with everything else it made.
    const int err = errno;
    xLog(LOG_ERROR, "HTML export: writing [%s] failed: %s\n", path.c_str(), strerror(err));
    quillery::SetFailureReason(quillery::ReasonForErrno(err));
    if (m_nSaveError == 0) m_nSaveError = DOC_SAVE_WRITE_ERROR;
  }
  return ok;
}

bool FormatIO_HTMLExport::CopyTemplate(const std::string& src, const std::string& dst, int depth) {
  // The template is the host's own folder; it is copied file by file through
  // the side-file writer, so that the copy is as safe as every other side
  // file and a failed export can take it back.
  if (depth > 16) return false;
  GDir* dir = g_dir_open(src.c_str(), 0, nullptr);
  if (!dir) {
    xLog(LOG_ERROR, "HTML export: cannot read the frames template [%s]\n", src.c_str());
    return false;
  }
  bool ok = true;
  while (const char* name = g_dir_read_name(dir)) {
    const std::string from = src + "/" + name;
    struct stat st;
    if (stat(from.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      ok = CopyTemplate(from, dst + name + "/", depth + 1);
    } else if (S_ISREG(st.st_mode)) {
      // Read as a small regular file, whatever replaced it since the stat.
      std::string bytes;
      const int err = ReadRegularFile(from, kStyleSheetLimit, bytes);
      ok = err == 0 && WriteSideFile(dst + name, bytes.data(), bytes.size(), false);
      if (!ok) xLog(LOG_ERROR, "HTML export: cannot copy [%s]: %s\n", from.c_str(), err ? strerror(err) : "");
      if (err) quillery::SetFailureReason("the frames template file " + from + ": " + ReadProblem(err, kStyleSheetLimit));
    }
    if (!ok) break;
  }
  g_dir_close(dir);
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
  m_exportNames.Take(path);
  if (!WriteSideFile(path, data, len, false)) xLog(LOG_INFO, "Failed to save image data to file\n");
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
  m_exportNames.Take(path);
  xLog(LOG_INFO, "HTML::Save start writing %d attachment bytes\n", static_cast<int>(att.strData.size()));
  WriteSideFile(path, att.strData.data(), att.strData.size(), true);
  return (frames ? std::string() : UriEscapePathSegment(_strExportSubName) + "/") + "attach/" +
         UriEscapePathSegment(name);
}
