#pragma once

// NoteRenderPool: a few worker threads that run one batch of independent
// jobs at a time, so that the native writer can render the next notes while
// it writes the ones before them.
//
// A batch is the items 0 .. count-1 given to Start; the job is called once
// for every item, with the number of the worker that runs it (0 .. threads-1
// for the pool's threads, `threads` for the caller, which helps inside Wait),
// so a job can keep per-worker scratch state in a slot of its own. Items are
// taken in order, each by exactly one worker.
//
// Threading contract: Start and Wait are called by one thread (the owner),
// alternately: Start, Wait, Start, Wait ... What the owner writes before
// Start is visible to the jobs of that batch; what the jobs write is visible
// to the owner after Wait returns. Between Start and the end of Wait the
// owner must not touch what the batch's jobs use.
//
// Errors: an exception thrown by a job is kept (the first one of the batch),
// the batch's other items still run, and Wait rethrows it on the owner's
// thread. The destructor stops the workers after the items they are running
// (the rest of a batch is dropped) and joins them; it never throws. When no
// thread can be started, Wait runs every item on the owner's thread.

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace quillery {

class NoteRenderPool {
 public:
  using Job = std::function<void(int worker, size_t item)>;

  // Starts up to `threads` workers (fewer when the system refuses more).
  NoteRenderPool(int threads, Job job);
  ~NoteRenderPool();
  NoteRenderPool(const NoteRenderPool&) = delete;
  NoteRenderPool& operator=(const NoteRenderPool&) = delete;

  // Number of threads started (the caller's own is not counted).
  int GetThreadCount() const { return static_cast<int>(m_threads.size()); }
  // Begins a batch of count items. The previous batch must have been waited for.
  void Start(size_t count);
  // Helps with the batch's remaining items, waits until every item is done
  // and rethrows the first exception a job threw.
  void Wait();

 private:
  void Run(int worker);
  // Runs items while any is left; called and returns with the lock held.
  void TakeItems(int worker, std::unique_lock<std::mutex>& lock);

  Job m_job;
  std::mutex m_mutex;
  std::condition_variable m_cvWork;  // an item or the stop is there
  std::condition_variable m_cvDone;  // the batch's last item is done
  size_t m_count = 0;                // items of the running batch
  size_t m_next = 0;                 // next item to hand out
  size_t m_done = 0;                 // items finished
  bool m_bStop = false;
  std::exception_ptr m_error;
  std::vector<std::thread> m_threads;
};

}  // namespace quillery
