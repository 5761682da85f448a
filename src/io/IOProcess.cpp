#include "io/IOProcess.h"

#include <cerrno>
#include <cstring>

#include "io/IOLayerBase.h"

IOProcess::IOProcess(int mode) : m_nReadTotal(0), m_nMode(mode) {}

IOProcess::~IOProcess() { CleanLayerList(); }

void IOProcess::PushLayer(IOLayerBase* layer) {
  if (!layer) return;
  if (!m_layers.empty()) m_layers.back()->SetNext(layer);
  m_layers.push_back(layer);
  layer->Initialize(m_nMode);
}

int IOProcess::Read(char* buf, int len, bool& more) {
  more = false;
  if (m_layers.empty()) return 0;
  IOLayerBase* first = m_layers.front();
  int r = first->Process(buf, len);
  if (r > 0) m_nReadTotal += r;
  more = first->GetLastCount() > 0;
  return r;
}

int IOProcess::Write(const char* data, int len) {
  if (m_layers.empty() || !data || len < 1) return 0;
  // Stages copy what they are given in write mode and never change it.
  return m_layers.front()->Process(const_cast<char*>(data), len);
}

int IOProcess::WriteString(const char* s) {
  if (!s) return 0;
  return WriteLarge(s, strlen(s));
}

int IOProcess::WriteString(const std::string& s) { return WriteLarge(s.data(), s.size()); }

int IOProcess::WriteLarge(const char* data, size_t len) {
  const size_t kPiece = size_t(1) << 30;  // keeps each count inside int
  int r = 0;
  while (len > 0) {
    size_t piece = len < kPiece ? len : kPiece;
    r = Write(data, int(piece));
    if (r < 0) return r;
    data += piece;
    len -= piece;
  }
  return r;
}

int IOProcess::Finalize() {
  if (m_layers.empty()) return 0;
  int r = m_layers.front()->Finalize();
  if (r >= 0 && HasError()) return -1;
  return r;
}

bool IOProcess::HasError() const {
  for (const IOLayerBase* layer : m_layers)
    if (layer->HasError()) return true;
  return false;
}

int IOProcess::GetErrorCause() const {
  int cause = 0;
  for (const IOLayerBase* layer : m_layers) {
    const int c = layer->GetErrorCause();
    if (c == ENOMEM) return c;
    if (cause == 0) cause = c;
  }
  return cause;
}

char* IOProcess::GetLastLayerData() {
  for (auto it = m_layers.rbegin(); it != m_layers.rend(); ++it)
    if (char* out = (*it)->GetOutBuffer()) return out;
  return nullptr;
}

void IOProcess::CleanLayerList() {
  for (IOLayerBase* layer : m_layers) delete layer;
  m_layers.clear();
}
