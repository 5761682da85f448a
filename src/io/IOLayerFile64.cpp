#include "io/IOLayerFile64.h"

#include "base/Log.h"

IOLayerFile64::IOLayerFile64() : m_nReadLimit(-1) {}

IOLayerFile64::~IOLayerFile64() = default;

int IOLayerFile64::Process(char* data, int len) {
  if (HasError()) {
    SetLastCount(-1);
    return -1;
  }
  if (!data || len < 1) {
    SetLastCount(0);
    return 0;
  }
  int n;
  if (IsWriteMode()) {
    n = m_file.Write(data, len);
    if (n != len) {
      xLog(LOG_INFO, "IOLayerFile64: writing %d bytes to [%s] failed\n", len,
           m_file.GetPath().c_str());
      SetError(m_file.GetErrorCause());
      SetLastCount(n < 0 ? -1 : n);
      CountIn(n);
      CountOut(n);
      return -1;
    }
  } else {
    n = m_file.Read(data, len);
    if (n < 0) {
      xLog(LOG_INFO, "IOLayerFile64: reading from [%s] failed\n", m_file.GetPath().c_str());
      SetError(m_file.GetErrorCause());
      SetLastCount(n);
      return -1;
    }
    if (n > 0 && m_nReadLimit > 0) {
      int64_t pos = m_file.GetPosition();
      if (pos > m_nReadLimit) {
        int64_t excess = pos - m_nReadLimit;
        n = excess >= n ? 0 : int(n - excess);
      }
    }
  }
  CountIn(n);
  CountOut(n);
  SetLastCount(n);
  if (m_pNext && n >= 1) return PassOn(data, n);
  return n;
}

int IOLayerFile64::Finalize() {
  if (IsWriteMode() && m_file.IsOpen() && !m_file.Flush()) {
    if (!HasError())
      xLog(LOG_INFO, "IOLayerFile64: writing out [%s] failed\n", m_file.GetPath().c_str());
    SetError(m_file.GetErrorCause());
  }
  return FinalizeNext();
}
