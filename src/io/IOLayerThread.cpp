#include "io/IOLayerThread.h"

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "base/Log.h"

IOLayerThread::IOLayerThread() = default;

IOLayerThread::~IOLayerThread() { Cancel(); }

bool IOLayerThread::Start() {
  m_bStarted = true;
  try {
    m_worker = std::thread(&IOLayerThread::Run, this);
  } catch (const std::system_error& e) {
    xLog(LOG_INFO, "IOLayerThread: no worker thread (%s), working in series\n", e.what());
    m_bThreadless = true;
    return false;
  }
  return true;
}

void IOLayerThread::Run() {
  // Nothing leaves this thread: a later stage's exception is kept for the
  // producer (Join rethrows it), its failure and cause are kept for Join.
  for (;;) {
    std::vector<char> block;
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_cvWork.wait(lock, [this] { return m_bStop || !m_queue.empty() || m_bClosing; });
      if (m_bStop || m_queue.empty()) return;  // cancelled, or closed and drained
      block = std::move(m_queue.front());
      m_queue.pop_front();
    }
    int cause = 0;
    try {
      const int r = m_pNext->Process(block.data(), static_cast<int>(block.size()));
      if (IsWriteMode() && (r < 0 || m_pNext->HasError())) cause = m_pNext->HasError() ? m_pNext->GetErrorCause() : EIO;
    } catch (...) {
      cause = CaughtCause();
      std::lock_guard<std::mutex> lock(m_mutex);
      m_exception = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_nInWork;
    if (cause != 0) {
      // Nothing after a failure may reach the later stages: drop the rest.
      m_bWorkerFailed = true;
      m_nWorkerCause = cause;
      m_nInWork -= static_cast<int>(m_queue.size());
      m_queue.clear();
      m_cvRoom.notify_all();
      return;
    }
    block.clear();
    try {
      m_spare.push_back(std::move(block));
    } catch (...) {
      // Not kept for reuse: the producer allocates a new block instead.
    }
    m_cvRoom.notify_all();
  }
}

bool IOLayerThread::HandOver() {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_cvRoom.wait(lock, [this] { return m_nInWork < kMaxBlocks || m_bWorkerFailed; });
  if (m_bWorkerFailed) return false;
  m_queue.push_back(std::move(m_fill));
  ++m_nInWork;
  if (!m_spare.empty()) {
    m_fill = std::move(m_spare.back());
    m_spare.pop_back();
  } else {
    m_fill = std::vector<char>();
  }
  m_cvWork.notify_one();
  return true;
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
  while (len > 0) {
    if (m_fill.capacity() < static_cast<size_t>(kBlockSize)) m_fill.reserve(kBlockSize);
    const int room = kBlockSize - static_cast<int>(m_fill.size());
    const int piece = len < room ? len : room;
    m_fill.insert(m_fill.end(), data, data + piece);
    data += piece;
    len -= piece;
    if (static_cast<int>(m_fill.size()) == kBlockSize && !HandOver()) {
      Join();
      return -1;
    }
  }
  return GetLastCount();
}

void IOLayerThread::Join() {
  if (m_worker.joinable()) m_worker.join();
  std::exception_ptr thrown;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bWorkerFailed) SetError(m_nWorkerCause);
    thrown = std::exchange(m_exception, nullptr);
  }
  if (thrown) std::rethrow_exception(thrown);
}

int IOLayerThread::Finalize() {
  if (m_bFinished) return HasError() ? -1 : 0;
  m_bFinished = true;
  if (m_bCanceled) return HasError() ? -1 : 0;
  if (m_bStarted && !m_bThreadless) {
    if (!m_fill.empty()) HandOver();
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_bClosing = true;
    }
    m_cvWork.notify_one();
    Join();
  }
  return FinalizeNext();
}

void IOLayerThread::Cancel() {
  if (m_bCanceled) return;
  m_bCanceled = true;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bStop = true;
    m_queue.clear();
  }
  m_cvWork.notify_one();
  m_fill.clear();
  if (m_worker.joinable()) m_worker.join();
  // A failure or an exception of the later stages no longer matters to anyone.
  std::lock_guard<std::mutex> lock(m_mutex);
  m_exception = nullptr;
}
