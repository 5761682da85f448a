#include "io/IOLayerBase.h"

IOLayerBase::IOLayerBase()
    : m_nMode(0),
      m_nLastCount(0),
      m_nLimit(-1),
      m_nTotalIn(0),
      m_nTotalOut(0),
      m_pNext(nullptr),
      m_bError(false) {}

IOLayerBase::~IOLayerBase() = default;

void IOLayerBase::Initialize(int mode) { m_nMode = mode; }

int IOLayerBase::PassOn(char* data, int len) {
  if (!m_pNext) return len;
  int r = m_pNext->Process(data, len);
  if (r < 0 && IsWriteMode()) SetError();
  return r;
}

int IOLayerBase::FinalizeNext() {
  int r = m_pNext ? m_pNext->Finalize() : 0;
  if (r < 0 && IsWriteMode()) SetError();
  if (m_bError) return -1;
  return r;
}
