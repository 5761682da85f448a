#include "io/IOLayerString.h"

#include <cstring>

namespace {
const size_t kCompactAfter = 200000;
}

IOLayerString::IOLayerString() : m_nReadPos(0) {}

IOLayerString::~IOLayerString() = default;

int IOLayerString::Process(char* data, int len) {
  if (!data || len < 1) {
    SetLastCount(0);
    return 0;
  }
  int n;
  if (IsWriteMode()) {
    m_strBuffer.append(data, size_t(len));
    n = len;
  } else {
    size_t left = m_strBuffer.size() - m_nReadPos;
    n = int(size_t(len - 1) < left ? size_t(len - 1) : left);
    memcpy(data, m_strBuffer.data() + m_nReadPos, size_t(n));
    data[n] = '\0';
    m_nReadPos += size_t(n);
    if (m_nReadPos > kCompactAfter && m_nReadPos > m_strBuffer.size() / 2) {
      m_strBuffer.erase(0, m_nReadPos);
      m_nReadPos = 0;
    }
  }
  CountIn(n);
  CountOut(n);
  SetLastCount(n);
  if (m_pNext && n >= 1) return PassOn(data, n);
  return n;
}

int IOLayerString::Finalize() { return FinalizeNext(); }
