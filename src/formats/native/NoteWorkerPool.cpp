#include "formats/native/NoteWorkerPool.h"

#include <system_error>
#include <utility>

#include "base/FaultPoint.h"

namespace quillery {

NoteWorkerPool::NoteWorkerPool(int threads, size_t window, Job job)
    : m_job(std::move(job)), m_nWindow(window > 0 ? window : 1), m_done(m_nWindow, 0) {
  const int granted = m_share.Take(threads);
  m_threads.reserve(static_cast<size_t>(granted));
  for (int i = 0; i < granted; ++i) {
    try {
      m_threads.emplace_back(&NoteWorkerPool::Run, this, i);
    } catch (const std::system_error&) {
      break;  // the workers started so far (or the owner alone) do the work
    }
  }
  m_share.Give(granted - static_cast<int>(m_threads.size()));
}

NoteWorkerPool::~NoteWorkerPool() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bStop = true;
  }
  m_cvWork.notify_all();
  for (std::thread& t : m_threads) t.join();
}

size_t NoteWorkerPool::Add(size_t count) {
  size_t first;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    first = m_added;
    for (size_t i = 0; i < count; ++i) m_done[(first + i) % m_nWindow] = 0;
    m_added += count;
  }
  if (count > 0) m_cvWork.notify_all();
  return first;
}

void NoteWorkerPool::WaitFor(size_t item) {
  std::unique_lock<std::mutex> lock(m_mutex);
  while (item < m_added && !(item < m_next && m_done[item % m_nWindow])) {
    if (m_next < m_added) {
      RunNext(static_cast<int>(m_threads.size()), lock);
      continue;
    }
    // Every item is taken and this one is still running on a worker.
    m_bOwnerWaits = true;
    m_cvDone.wait(lock);
    m_bOwnerWaits = false;
  }
  std::exception_ptr error = std::move(m_error);
  m_error = nullptr;
  lock.unlock();
  if (error) std::rethrow_exception(error);
}

void NoteWorkerPool::Run(int worker) {
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    m_cvWork.wait(lock, [this] { return m_bStop || m_next < m_added; });
    if (m_bStop) return;
    RunNext(worker, lock);
  }
}

void NoteWorkerPool::RunNext(int worker, std::unique_lock<std::mutex>& lock) {
  const size_t item = m_next++;
  lock.unlock();
  std::exception_ptr error;
  try {
    if (worker < static_cast<int>(m_threads.size())) quillery::FaultPoint("worker-job");
    m_job(worker, item);
  } catch (...) {
    error = std::current_exception();
  }
  lock.lock();
  if (error && !m_error) m_error = error;
  m_done[item % m_nWindow] = 1;
  if (m_bOwnerWaits) m_cvDone.notify_one();
}

}  // namespace quillery
