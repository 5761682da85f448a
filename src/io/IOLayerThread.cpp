#include "io/IOLayerThread.h"

#include <cerrno>
#include <exception>
#include <vector>

#include "base/Log.h"

IOLayerThread::IOLayerThread() : m_handOff(kBlockSize, kMaxBlocks) { m_handOff.ReserveWorker(); }

IOLayerThread::~IOLayerThread() { Cancel(); }

bool IOLayerThread::Start() {
  m_bStarted = true;
  if (!m_handOff.StartWorker([this] { Run(); })) {
    xLog(LOG_INFO, "IOLayerThread: no worker thread, working in series\n");
    m_bThreadless = true;
    return false;
  }
  return true;
}

void IOLayerThread::Run() {
  std::vector<char>* block = nullptr;
  while (m_handOff.Take(block)) {
    const int r = m_pNext->Process(block->data(), static_cast<int>(block->size()));
    if (IsWriteMode() && (r < 0 || m_pNext->HasError())) {
      // Nothing after a failure may reach the later stages: drop the rest.
      m_nWorkerCause = m_pNext->HasError() ? m_pNext->GetErrorCause() : EIO;
      m_bWorkerFailed = true;
      m_handOff.Stop();
      return;
    }
  }
}

int IOLayerThread::Process(char* data, int len) {
  if (m_bCanceled || m_bFinished) return m_bCanceled && !IsWriteMode() ? len : -1;
  if (HasError()) return -1;
  if (!data || len < 1) return 0;
  CountIn(len);
  CountOut(len);
  SetLastCount(len);
  if (!m_pNext) return len;
  if (!m_bStarted) Start();
  if (m_bThreadless) return PassOn(data, len);
  if (!m_handOff.Append(data, len, true)) {
    Join();
    return -1;
  }
  return GetLastCount();
}

void IOLayerThread::Join() {
  const std::exception_ptr thrown = m_handOff.JoinWorker();
  if (thrown) {
    // The cause (memory or not) travels with the failure, so that the
    // producer does not report a full disk for an allocation that failed.
    try {
      std::rethrow_exception(thrown);
    } catch (...) {
      SetError(CaughtCause());
    }
  } else if (m_bWorkerFailed) {
    SetError(m_nWorkerCause);
  }
  if (thrown) std::rethrow_exception(thrown);
}

int IOLayerThread::Finalize() {
  if (m_bFinished) return HasError() ? -1 : 0;
  m_bFinished = true;
  if (m_bCanceled) return HasError() ? -1 : 0;
  if (m_bStarted && !m_bThreadless) {
    m_handOff.Push(true);
    m_handOff.Close();
    Join();
  }
  return FinalizeNext();
}

void IOLayerThread::Cancel() {
  if (m_bCanceled) return;
  m_bCanceled = true;
  // A failure or an exception of the later stages no longer matters to anyone.
  m_handOff.Abandon();
}
