#pragma once

// A fresh folder under /tmp for one test; removed with everything in it when
// the object goes away. Header-only so that every test program can use it.

#include <cstdio>
#include <cstdlib>
#include <ftw.h>
#include <string>
#include <sys/stat.h>

namespace quillery_test {

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/quillery_test_XXXXXX";
    const char* p = mkdtemp(tmpl);
    m_path = p ? p : "";
  }
  ~TempDir() {
    if (m_path.empty()) return;
    // Make everything writable first so that permission tests clean up too.
    nftw(m_path.c_str(), MakeWritable, 16, FTW_PHYS);
    nftw(m_path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return m_path; }
  // The path of name inside the folder.
  std::string operator/(const std::string& name) const { return m_path + "/" + name; }

 private:
  static int MakeWritable(const char* path, const struct stat* st, int type, struct FTW*) {
    if (type == FTW_D || type == FTW_DNR) chmod(path, (st->st_mode & 07777) | 0700);
    return 0;
  }
  static int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    remove(path);
    return 0;
  }
  std::string m_path;
};

}  // namespace quillery_test
