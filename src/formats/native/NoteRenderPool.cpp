#include "formats/native/NoteRenderPool.h"

#include <system_error>
#include <utility>

namespace quillery {

NoteRenderPool::NoteRenderPool(int threads, Job job) : m_job(std::move(job)) {
  m_threads.reserve(threads > 0 ? static_cast<size_t>(threads) : 0);
  for (int i = 0; i < threads; ++i) {
    try {
      m_threads.emplace_back(&NoteRenderPool::Run, this, i);
    } catch (const std::system_error&) {
      break;  // the workers started so far (or the caller alone) do the work
    }
  }
}

NoteRenderPool::~NoteRenderPool() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bStop = true;
  }
  m_cvWork.notify_all();
  for (std::thread& t : m_threads) t.join();
}

void NoteRenderPool::Start(size_t count) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_count = count;
    m_next = 0;
    m_done = 0;
    m_error = nullptr;
  }
  if (count > 0) m_cvWork.notify_all();
}

void NoteRenderPool::Wait() {
  std::unique_lock<std::mutex> lock(m_mutex);
  TakeItems(static_cast<int>(m_threads.size()), lock);
  m_cvDone.wait(lock, [this] { return m_done == m_count; });
  std::exception_ptr error = std::move(m_error);
  m_error = nullptr;
  lock.unlock();
  if (error) std::rethrow_exception(error);
}

void NoteRenderPool::Run(int worker) {
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    m_cvWork.wait(lock, [this] { return m_bStop || m_next < m_count; });
    if (m_bStop) return;
    TakeItems(worker, lock);
  }
}

void NoteRenderPool::TakeItems(int worker, std::unique_lock<std::mutex>& lock) {
  while (!m_bStop && m_next < m_count) {
    const size_t item = m_next++;
    lock.unlock();
    std::exception_ptr error;
    try {
      m_job(worker, item);
    } catch (...) {
      error = std::current_exception();
    }
    lock.lock();
    if (error && !m_error) m_error = error;
    if (++m_done == m_count) m_cvDone.notify_all();
  }
}

}  // namespace quillery
