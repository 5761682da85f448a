#include "model/FormatIO_Base.h"

#include <glib.h>
#include <sys/stat.h>

#include "base/File64.h"
#include "base/Log.h"
#include "save/SafeSave.h"
#include "model/NoteDocument.h"

bool FormatIO_Base::_bEnableSharing = true;

bool FormatIO_Base::OpenOutput(File64& file, const char* path, int flags) const {
  if (m_nOutputFd >= 0) return file.OpenDescriptor(m_nOutputFd, path ? path : "");
  return file.Open(path, flags);
}

bool FormatIO_Base::DumpThroughTempFile(const char* src, const char* dst, const char* password) {
  if (!src || !dst || !*dst) return false;
  const quillery::TargetState state = quillery::TargetState::Of(dst);
  const std::string& target = state.path;
  // Its copy would replace the only encoded one.
  struct stat srcStat, dstStat;
  if (stat(src, &srcStat) == 0 && stat(target.c_str(), &dstStat) == 0 && srcStat.st_dev == dstStat.st_dev &&
      srcStat.st_ino == dstStat.st_ino) {
    xLog(LOG_WARNING, "Failed to open output file: [%s] (it is the input file)\n", dst);
    return false;
  }
  quillery::TempFile temp;
  if (const int err = temp.Create(state)) {
    xLog(LOG_WARNING, "Failed to open output file: [%s] (%s)\n", dst, quillery::ReasonForErrno(err).c_str());
    return false;
  }
  SetOutputFile(temp.Descriptor());
  const bool dumped = DumpFile(src, temp.Path().c_str(), password);
  SetOutputFile(-1);
  if (!dumped) return false;
  int err = temp.Sync();
  if (err == 0) err = quillery::ReplaceWithTempFile(temp, state);
  if (err != 0) {
    xLog(LOG_WARNING, "Failed to write output file: [%s] (%s)\n", dst, quillery::ReasonForErrno(err).c_str());
    return false;
  }
  return true;
}

int64_t FormatIO_Base::GetFileSize() {
  if (!m_pDoc || m_pDoc->GetPath().empty()) return -1;
  return File64::FileSize(m_pDoc->GetPath());
}

int64_t FormatIO_Base::CalcDocSize() {
  if (!m_pDoc) return -1;
  // All in 64 bits: attachment sizes times 3/2 overflow int on big notes.
  int64_t total = 2000;
  const int count = m_pDoc->GetNodeCount();
  for (int i = 0; i < count; ++i) {
    NoteNode& note = m_pDoc->GetNodeByIdx(i);
    RichText& rt = note.m_objText;
    total += static_cast<int64_t>(note.GetText().size());
    total += 15 * static_cast<int64_t>(rt.m_lstFmt.GetSize());
    for (const AttInfo& att : note.m_lstAttachments)
      total += static_cast<int64_t>(att.strName.size()) + static_cast<int64_t>(att.nDataSize) * 3 / 2 + 30;
    for (PixInfo& pix : rt.m_lstPictures.Items()) {
      // The stored encoded size when there is one; a failed encoding counts 0.
      const int64_t encoded = pix.GetEncodedSize();
      total += static_cast<int64_t>(pix.strName.size()) + encoded * 3 / 2 + 30;
    }
    for (const LinkInfo& link : rt.m_lstLinks.Items())
      total += static_cast<int64_t>(link.strLink.size()) + static_cast<int64_t>(link.strTargetID.size());
  }
  return total;
}

// Runs at most maxRounds + 1 non-blocking iterations of the default main
// context and stops after the first one that dispatched something, or when
// nothing is pending. Inside a nested main loop (a modal dialog's) it does
// nothing. Callers must expect event handlers to run re-entrantly.
void FormatIO_Base::RunLoop(int maxRounds) {
  if (g_main_depth() >= 2) return;
  int i = 0;
  for (;;) {
    if (!g_main_context_pending(nullptr)) return;
    if (g_main_context_iteration(nullptr, FALSE)) return;
    if (i < maxRounds) ++i;
    else return;
  }
}
