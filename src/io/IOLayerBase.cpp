#include "io/IOLayerBase.h"

#include <new>

IOLayerBase::IOLayerBase()
    : m_nMode(0),
      m_nLastCount(0),
      m_nLimit(-1),
      m_nTotalIn(0),
      m_nTotalOut(0),
      m_pNext(nullptr),
      m_nErrorCause(0) {}

IOLayerBase::~IOLayerBase() = default;

void IOLayerBase::Initialize(int mode) { m_nMode = mode; }

void IOLayerBase::SetError(int cause) {
  int none = 0;
  m_nErrorCause.compare_exchange_strong(none, cause != 0 ? cause : EIO);
}

int IOLayerBase::CaughtCause() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  } catch (...) {
    return EIO;
  }
}

int IOLayerBase::PassOn(char* data, int len) {
  if (!m_pNext) return len;
  int r = m_pNext->Process(data, len);
  if (r < 0 && IsWriteMode()) SetError(m_pNext->GetErrorCause());
  return r;
}

int IOLayerBase::FinalizeNext() {
  int r = m_pNext ? m_pNext->Finalize() : 0;
  if (r < 0 && IsWriteMode()) SetError(m_pNext->GetErrorCause());
  if (HasError()) return -1;
  return r;
}
