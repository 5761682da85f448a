#include "io/IOLayerRedirect.h"

#include "base/File64.h"

IOLayerRedirect::IOLayerRedirect() : m_pCallback(nullptr), m_pUser(nullptr) {}

IOLayerRedirect::~IOLayerRedirect() = default;

void IOLayerRedirect::SetCallback(Callback callback, void* user) {
  m_pCallback = callback;
  m_pUser = user;
}

int IOLayerRedirect::Process(char* data, int len) {
  if (m_pCallback) m_pCallback(data, len, m_pUser);
  return len;
}

void DumpRedirector(const char* data, int len, void* user) {
  if (user && len > 0) static_cast<File64*>(user)->Write(data, len);
}
