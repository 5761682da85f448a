#include "io/BlockHandOff.h"

#include <system_error>
#include <utility>

#include "base/Log.h"

BlockHandOff::BlockHandOff(int blockSize, int maxBlocks)
    : m_blockSize(static_cast<size_t>(blockSize)), m_maxBlocks(static_cast<size_t>(maxBlocks)) {}

BlockHandOff::~BlockHandOff() { Abandon(); }

bool BlockHandOff::StartWorker(std::function<void()> run) {
  if (!ReserveWorker()) return false;
  try {
    m_worker = std::thread([this, run = std::move(run)] {
      try {
        run();
      } catch (...) {
        {
          std::lock_guard<std::mutex> lock(m_mutex);
          if (!m_exception) m_exception = std::current_exception();
        }
        Stop();
      }
    });
  } catch (const std::system_error& e) {
    xLog(LOG_INFO, "BlockHandOff: no worker thread (%s)\n", e.what());
    m_share.Release();
    return false;
  }
  return true;
}

std::exception_ptr BlockHandOff::JoinWorker() {
  if (m_worker.joinable()) m_worker.join();
  m_share.Release();
  std::lock_guard<std::mutex> lock(m_mutex);
  return std::exchange(m_exception, nullptr);
}

void BlockHandOff::Abandon() {
  Stop();
  JoinWorker();
}

bool BlockHandOff::QueueFill(bool wait) {
  {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (wait) m_cvRoom.wait(lock, [this] { return m_bStop || m_nHeld < m_maxBlocks; });
    if (m_bStop) return false;
    m_queue.push_back(std::move(m_fill));
    ++m_nHeld;
    if (!m_spare.empty()) {
      m_fill = std::move(m_spare.back());
      m_spare.pop_back();
    } else {
      m_fill = std::vector<char>();
    }
  }
  m_cvData.notify_one();
  return true;
}

bool BlockHandOff::Append(const char* data, int len, bool wait) {
  while (len > 0) {
    if (m_fill.capacity() < m_blockSize) m_fill.reserve(m_blockSize);
    const size_t room = m_blockSize - m_fill.size();
    const size_t piece = static_cast<size_t>(len) < room ? static_cast<size_t>(len) : room;
    m_fill.insert(m_fill.end(), data, data + piece);
    data += piece;
    len -= static_cast<int>(piece);
    if (m_fill.size() == m_blockSize && !QueueFill(wait)) {
      m_fill.clear();  // stopped: nobody takes the rest
      return false;
    }
  }
  return true;
}

bool BlockHandOff::Push(bool wait) {
  if (m_fill.empty()) return !IsStopped();
  if (QueueFill(wait)) return true;
  m_fill.clear();
  return false;
}

void BlockHandOff::Close() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bClosed = true;
  }
  m_cvData.notify_all();
}

bool BlockHandOff::Take(std::vector<char>*& block, bool wait) {
  Release();
  block = nullptr;
  {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (wait) m_cvData.wait(lock, [this] { return m_bStop || !m_queue.empty() || m_bClosed; });
    if (m_bStop || m_queue.empty()) return false;
    m_taken = std::move(m_queue.front());
    m_queue.pop_front();
  }
  m_holding = true;
  block = &m_taken;
  return true;
}

void BlockHandOff::Release() {
  if (!m_holding) return;
  m_holding = false;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_taken.clear();
    m_spare.push_back(std::move(m_taken));
    m_taken = std::vector<char>();
    if (m_nHeld > 0) --m_nHeld;
  }
  m_cvRoom.notify_all();
}

void BlockHandOff::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bStop = true;
    m_nHeld -= m_queue.size() <= m_nHeld ? m_queue.size() : m_nHeld;
    m_queue.clear();
  }
  m_cvRoom.notify_all();
  m_cvData.notify_all();
}

bool BlockHandOff::IsStopped() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_bStop;
}

bool BlockHandOff::IsEnded() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_bStop || m_bClosed;
}
