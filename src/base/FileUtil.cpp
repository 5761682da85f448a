#include "base/FileUtil.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "base/Log.h"
#include "base/StringUtil.h"

namespace {

bool IsSep(char c) { return c == '/' || c == '\\'; }

// Non-empty components of a '/'-separated path.
std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> parts;
  size_t i = 0;
  while (i < path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    if (j > i) parts.emplace_back(path, i, j - i);
    i = j + 1;
  }
  return parts;
}

bool ExtensionIn(const std::string& path, const char* const* list) {
  std::string ext = GetFileExt(path);
  for (; *list; ++list)
    if (strcasecmp(ext.c_str(), *list) == 0) return true;
  return false;
}

// Start of the last component, with one trailing separator ignored; end is
// set to the end of that component.
size_t LastComponent(const std::string& path, size_t* end) {
  size_t e = path.size();
  if (e > 0 && IsSep(path[e - 1])) --e;
  size_t start = e;
  while (start > 0 && !IsSep(path[start - 1])) --start;
  *end = e;
  return start;
}

}  // namespace

bool CheckFileWriteAccess(const std::string& path) {
  if (access(path.c_str(), W_OK) == 0) return true;
  xLog(LOG_DEBUG, "File not writeable: %s\n", path.c_str());
  return false;
}

bool EnsureDirExists(const std::string& path) {
  if (path.empty()) return false;
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  // Create each prefix that ends at a separator, then the full path.
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != '/') continue;
    std::string part = path.substr(0, i);
    if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
      xLog(LOG_WARNING, "Failed to create folder [%s]: %s\n", part.c_str(), strerror(errno));
      return false;
    }
  }
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void EnsureTerminated(std::string& path, char sep) {
  if (path.empty() || !IsSep(path.back())) path += sep;
}

std::string GetParentDir(const std::string& path, char sep) {
  size_t end = path.size();
  if (end > 0 && path[end - 1] == sep) --end;
  size_t pos = end == 0 ? std::string::npos : path.rfind(sep, end - 1);
  if (pos == std::string::npos) return std::string(1, sep);
  return path.substr(0, pos + 1);
}

std::string GetFileDir(const std::string& path) {
  size_t pos = path.find_last_of("/\\");
  if (pos == std::string::npos) return path;
  return path.substr(0, pos + 1);
}

std::string GetBaseName(const std::string& path) {
  size_t end;
  size_t start = LastComponent(path, &end);
  return path.substr(start, end - start);
}

std::string GetTitleName(const std::string& path) {
  std::string name = GetBaseName(path);
  size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.erase(dot);
  return name;
}

std::string GetFileExt(const std::string& path) {
  size_t pos = path.find_last_of("/\\");
  size_t start = pos == std::string::npos ? 0 : pos + 1;
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot < start) return std::string();
  return path.substr(dot);
}

bool IsAbsolutePath(const std::string& path) { return !path.empty() && path[0] == '/'; }

bool IsAbsoluteLocalPathURL(const std::string& url) {
  return url.size() > 7 && (url.compare(0, 8, "file:///") == 0 || url.compare(0, 7, "lua:///") == 0);
}

bool ConvertToAbsolutePath(std::string& path, const std::string& base) {
  std::string full = path;
  replaceall(full, '\\', '/');
  if (!IsAbsolutePath(full)) {
    // The base is a folder of the file system (a document's), named as it is
    // on the disk: only the link's own separators are rewritten.
    std::string prefix = base;
    if (prefix.empty() || prefix.back() != '/') prefix += '/';
    full = prefix + full;
  }
  const bool absolute = IsAbsolutePath(full);
  const bool trailing = !full.empty() && full.back() == '/';
  std::vector<std::string> out;
  for (std::string& part : SplitPath(full)) {
    if (part == ".") continue;
    if (part == "..") {
      if (!out.empty() && out.back() != "..")
        out.pop_back();
      else if (!absolute)
        out.push_back(part);
      continue;
    }
    out.push_back(std::move(part));
  }
  std::string result = absolute ? "/" : "";
  for (size_t i = 0; i < out.size(); ++i) {
    if (i) result += '/';
    result += out[i];
  }
  if (trailing && !out.empty()) result += '/';
  path.swap(result);
  return true;
}

void SplitFolderAndName(const std::string& path, std::string& folder, std::string& name) {
  const size_t slash = path.rfind('/');
  folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  name = slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string MakeAbsolutePath(const std::string& path) {
  if (path.empty()) return path;
  std::string folder, name;
  SplitFolderAndName(path, folder, name);
  // A name that is itself a folder reference ("", ".", "..") is no file
  // name to keep: such a path is only made absolute.
  if (!name.empty() && name != "." && name != "..") {
    if (char* real = realpath(folder.c_str(), nullptr)) {
      std::string result = real;
      free(real);
      if (result.back() != '/') result += '/';
      return result + name;
    }
  }
  if (IsAbsolutePath(path)) return path;
  char* cwd = getcwd(nullptr, 0);
  if (!cwd) return path;
  std::string result = cwd;
  free(cwd);
  if (result.back() != '/') result += '/';
  return result + path;
}

bool ConvertToRelativePath(std::string& path, const std::string& base) {
  if (!IsAbsolutePath(path) || !IsAbsolutePath(base)) return false;
  std::vector<std::string> from = SplitPath(base.substr(0, base.rfind('/') + 1));
  std::vector<std::string> to = SplitPath(path);
  const bool trailing = path.back() == '/';
  size_t common = 0;
  while (common < from.size() && common < to.size() && from[common] == to[common]) ++common;

  std::string result;
  for (size_t i = common; i < from.size(); ++i) result += "../";
  for (size_t i = common; i < to.size(); ++i) {
    result += to[i];
    if (i + 1 < to.size() || trailing) result += '/';
  }
  if (common == to.size() && !trailing && !result.empty()) result.pop_back();  // "../" -> ".."
  if (result.empty()) result = trailing ? "./" : ".";
  path.swap(result);
  return true;
}

bool IsImageFile(const std::string& path) {
  static const char* const kExts[] = {".jpg", ".jpeg", ".png", ".gif", nullptr};
  return ExtensionIn(path, kExts);
}

bool SameFile(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return false;
  struct stat sa, sb;
  if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool is_main_format(const std::string& path) {
  static const char* const kExts[] = {".qyd", ".qye", ".qydb", ".qyde", ".qyz", nullptr};
  return ExtensionIn(path, kExts);
}

int ReadAtMost(int fd, size_t limit, std::string& out) {
  out.clear();
  char buf[4096];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    if (out.size() + static_cast<size_t>(n) > limit) return EFBIG;
    out.append(buf, static_cast<size_t>(n));
  }
}

int ReadRegularFile(const std::string& path, size_t limit, std::string& out) {
  out.clear();
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat st;
  int err = fstat(fd, &st) != 0 ? errno : !S_ISREG(st.st_mode) ? EINVAL : 0;
  if (err == 0 && static_cast<unsigned long long>(st.st_size) > limit) err = EFBIG;
  if (err == 0) err = ReadAtMost(fd, limit, out);
  close(fd);
  if (err) out.clear();
  return err;
}

std::string ReadProblem(int err, size_t limit) {
  if (err == EINVAL) return "not a regular file";
  if (err != EFBIG) return strerror(err);
  return limit >= (1u << 20) ? "larger than " + std::to_string(limit >> 20) + " MB"
                             : "larger than " + std::to_string(limit >> 10) + " KB";
}
