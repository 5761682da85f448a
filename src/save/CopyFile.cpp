#include "save/CopyFile.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <glib.h>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

#include "base/File64.h"
#include "base/FileUtil.h"
#include "base/Log.h"

namespace {

// Larger than the file's own buffer, so chunks go to the descriptor directly.
const int kChunkSize = 64 * 1024;
const int kFolderMode = 0755;

using FileId = std::pair<dev_t, ino_t>;

// Drops a partial target after a failed copy.
bool FailAndRemove(File64& in, File64& out, const char* dst) {
  in.Close();
  out.Close();
  remove(dst);
  return false;
}

// The path with every existing leading part resolved through realpath, so
// that a target that does not exist yet can still be compared with the source.
std::string ResolvePath(const std::string& path) {
  char buf[PATH_MAX];
  if (realpath(path.c_str(), buf)) return buf;
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  size_t slash = trimmed.rfind('/');
  if (slash == std::string::npos) return ResolvePath(".") + "/" + trimmed;
  std::string parent = slash == 0 ? "/" : trimmed.substr(0, slash);
  std::string resolved = ResolvePath(parent);
  if (resolved.empty() || resolved.back() != '/') resolved += '/';
  return resolved + trimmed.substr(slash + 1);
}

struct DirCopy {
  std::vector<FileId> ancestors;  // source folders on the current path
  FileId target{0, 0};            // the target root, never to be read as source

  bool Copy(const std::string& src, const std::string& dst);
};

bool DirCopy::Copy(const std::string& src, const std::string& dst) {
  GDir* dir = g_dir_open(src.c_str(), 0, nullptr);
  if (!dir) {
    xLog(LOG_INFO, "copy_dir: fail to open src dir [%s]\n", src.c_str());
    return false;
  }
  if (g_mkdir_with_parents(dst.c_str(), kFolderMode) != 0) {
    xLog(LOG_INFO, "copy_dir: fail to create dst dir [%s]\n", dst.c_str());
    g_dir_close(dir);
    return false;
  }
  struct stat st;
  if (ancestors.empty() && stat(dst.c_str(), &st) == 0) target = FileId(st.st_dev, st.st_ino);
  if (stat(src.c_str(), &st) != 0) {
    g_dir_close(dir);
    return false;
  }
  ancestors.emplace_back(st.st_dev, st.st_ino);

  bool ok = true;
  while (const char* name = g_dir_read_name(dir)) {
    std::string srcEntry = src, dstEntry = dst;
    EnsureTerminated(srcEntry, '/');
    EnsureTerminated(dstEntry, '/');
    srcEntry += name;
    dstEntry += name;

    if (stat(srcEntry.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      FileId id(st.st_dev, st.st_ino);
      if (id == target) {
        xLog(LOG_INFO, "copy_dir: target folder met inside the source [%s]\n", srcEntry.c_str());
        ok = false;
        break;
      }
      bool loop = false;
      for (const FileId& a : ancestors) loop = loop || a == id;
      if (loop) {
        xLog(LOG_INFO, "copy_dir: folder loop at [%s]\n", srcEntry.c_str());
        ok = false;
        break;
      }
      if (g_mkdir_with_parents(dstEntry.c_str(), kFolderMode) != 0) {
        xLog(LOG_INFO, "copy_dir: fail to create sub dir [%s]\n", dstEntry.c_str());
        ok = false;
        break;
      }
      if (!Copy(srcEntry, dstEntry)) {
        ok = false;
        break;
      }
    } else if (!copy_file(srcEntry.c_str(), dstEntry.c_str())) {
      ok = false;
      break;
    }
  }
  ancestors.pop_back();
  g_dir_close(dir);
  return ok;
}

}  // namespace

bool copy_file(const char* src, const char* dst) {
  if (!src || !dst) return false;
  // Checked before opening: opening a FIFO would block, a device is no file.
  struct stat srcSt;
  if (stat(src, &srcSt) == 0 && !S_ISREG(srcSt.st_mode) && !S_ISDIR(srcSt.st_mode)) {
    xLog(LOG_INFO, "copy_file: not a regular file [%s]\n", src);
    return false;
  }
  File64 in;
  if (!in.Open(src, F64_READ | F64_SHARE_READ | F64_SHARE_WRITE | F64_OPEN_EXISTING)) {
    xLog(LOG_INFO, "copy_file: fail to open file [%s]\n", src);
    return false;
  }
  // Opening the target truncates it: refuse when it is the source itself.
  struct stat dstSt;
  if (fstat(in.GetDescriptor(), &srcSt) != 0 ||
      (stat(dst, &dstSt) == 0 && dstSt.st_dev == srcSt.st_dev && dstSt.st_ino == srcSt.st_ino)) {
    xLog(LOG_INFO, "copy_file: source and target are the same file [%s]\n", dst);
    return false;
  }
  File64 out;
  if (!out.Open(dst, F64_WRITE | F64_SHARE_READ | F64_OPEN_ALWAYS | F64_OPEN_EXISTING)) {
    xLog(LOG_INFO, "copy_file: fail to create file [%s]\n", dst);
    return false;
  }

  std::vector<char> buf(kChunkSize);
  long long total = 0;
  for (;;) {
    int n = in.Read(buf.data(), kChunkSize);
    if (n == 0) break;
    if (n < 0) {
      xLog(LOG_INFO, "copy_file: read failed at byte offset %lld [%s]\n", total, src);
      return FailAndRemove(in, out, dst);
    }
    total += n;
    if (out.Write(buf.data(), n) != n) {
      xLog(LOG_INFO, "copy_file: copy failed at byte offset %lld [%s]\n", total, dst);
      return FailAndRemove(in, out, dst);
    }
  }
  in.Close();
  // Keep the source's permission bits; set on the descriptor, so no other
  // file can be changed by a path swapped in meanwhile.
  if (fchmod(out.GetDescriptor(), srcSt.st_mode & 0777) != 0)
    xLog(LOG_WARNING, "copy_file: Error setting file permission (chmod)\n");
  if (!out.Close()) {
    xLog(LOG_INFO, "copy_file: copy failed at byte offset %lld [%s]\n", total, dst);
    remove(dst);
    return false;
  }
  return true;
}

bool copy_dir(const char* src, const char* dst) {
  if (!src || !dst) return false;
  struct stat st;
  if (stat(src, &st) == 0 && S_ISDIR(st.st_mode)) {
    // A target inside the source would be copied into itself forever.
    std::string s = ResolvePath(src), d = ResolvePath(dst);
    if (d == s || (d.size() > s.size() && d.compare(0, s.size(), s) == 0 &&
                   (s == "/" || d[s.size()] == '/'))) {
      xLog(LOG_INFO, "copy_dir: target folder is inside the source [%s]\n", dst);
      return false;
    }
  }
  DirCopy job;
  return job.Copy(src, dst);
}
