#pragma once

// The side folder of one HTML export run. It is built under a temporary name
// beside its place ("NAME_files.part-XXXXXX", made exclusively and locked
// while the run lasts) and put in
// its place only when the export is complete: a failed or cancelled export
// leaves an earlier export's folder whole, and a completed one leaves none
// of the earlier one's files. The pages link to the final name, which the
// build folder takes as a whole.
//
// Owned by one export object, used by the thread that saves. Between Begin
// and Install or Discard, Build() names the build folder (with a trailing
// slash); otherwise it is empty. A folder that Install replaced is kept
// under the build name until RemoveReplaced (or the destructor), so that the
// replacing costs no time before the page takes its place. Begin removes
// the build folders of runs that were killed (unlocked ones).

#include <string>

namespace quillery {

class HtmlExportSideFolder {
 public:
  HtmlExportSideFolder() = default;
  ~HtmlExportSideFolder();
  HtmlExportSideFolder(const HtmlExportSideFolder&) = delete;
  HtmlExportSideFolder& operator=(const HtmlExportSideFolder&) = delete;

  // Makes the build folder for the side folder finalDir (a path ending in
  // '/'). 0, or the errno of the failed creation.
  int Begin(const std::string& finalDir);
  const std::string& Build() const { return m_build; }

  // Puts the build folder in its place. An existing folder there is
  // replaced only with replace set (EEXIST otherwise); anything there that
  // is no folder (a file, a link) is never replaced (ENOTDIR). An empty
  // build folder with nothing in its place is just removed. 0 or errno; on
  // failure the build folder is removed and the place is as it was.
  int Install(bool replace);
  // Removes the build folder and everything in it.
  void Discard();
  // Removes the folder that the last Install replaced.
  void RemoveReplaced();

 private:
  void RemoveLeftovers();
  void Unlock();

  std::string m_final;     // the side folder, without the trailing slash
  std::string m_build;     // the build folder with a trailing slash, or empty
  std::string m_replaced;  // where the replaced folder waits to be removed
  int m_lock = -1;         // the build folder, opened and locked
};

// Removes path and everything below it, never following a link. False when
// something stayed.
bool RemoveFolderTree(const std::string& path);

}  // namespace quillery
