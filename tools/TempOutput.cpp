#include "TempOutput.h"

#include <cerrno>

#include "model/FormatIO_Base.h"
#include "sqlite/format/SqliteReplace.h"

namespace quillery_host {

TempOutput::TempOutput(const quillery::TargetState& target, bool database)
    : m_target(target), m_database(database) {
  m_error = m_temp.Create(m_target, m_database);
}

int TempOutput::Commit() {
  if (m_error) return DOC_SAVE_NOT_OPEN;
  if (m_database) return quillery::InstallDatabase(m_temp, m_target, std::string());
  int err = m_temp.Sync();
  if (err == 0) err = quillery::ReplaceWithTempFile(m_temp, m_target);
  if (err == 0) return DOC_SAVE_OK;
  quillery::SetFailureReason(err == EEXIST ? m_target.ChangedReason() : quillery::ReasonForErrno(err));
  const int result = quillery::SaveResultForErrno(err);
  return result == DOC_SAVE_NOT_OPEN ? DOC_SAVE_RENAME_FAILED : result;
}

}  // namespace quillery_host
