#pragma once

// NoteWorkerPool: a few worker threads that run a stream of independent
// jobs over notes: the native writer renders the notes ahead of the one it
// writes, the load finish repairs blocks of notes while the loading thread
// rebuilds the maps.
//
// Items are numbered 0, 1, 2 ... in the order Add hands them out; the job is
// called once for every item, with the number of the worker that runs it
// (0 .. threads-1 for the pool's threads, `threads` for the owner, which
// helps inside WaitFor), so a job can keep per-worker scratch state in a
// slot of its own. Items are taken in order, each by exactly one worker.
// At most `window` items may be outstanding: the owner adds item n only
// after WaitFor has returned for item n - window (or an earlier one later).
//
// Threading contract: Add and WaitFor are called by one thread (the owner).
// What the owner writes before Add is visible to the jobs of those items;
// what a job writes is visible to the owner after WaitFor returns for that
// item. An item waited for is never touched by the pool again.
//
// Errors: an exception thrown by a job is kept (the first one), the other
// items still run, and the next WaitFor rethrows it on the owner's thread.
// The destructor stops the workers after the items they are running (the
// rest is dropped) and joins them; it never throws. When no thread can be
// started, WaitFor runs the items on the owner's thread.

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "base/ThreadBudget.h"

namespace quillery {

class NoteWorkerPool {
 public:
  using Job = std::function<void(int worker, size_t item)>;

  // Starts up to `threads` workers: fewer when the thread budget
  // (base/ThreadBudget.h) has fewer free or the system refuses more; they
  // go back to the budget when the pool is destroyed.
  NoteWorkerPool(int threads, size_t window, Job job);
  ~NoteWorkerPool();
  NoteWorkerPool(const NoteWorkerPool&) = delete;
  NoteWorkerPool& operator=(const NoteWorkerPool&) = delete;

  // Number of threads started (the owner's own is not counted).
  int GetThreadCount() const { return static_cast<int>(m_threads.size()); }
  // Adds count items; returns the number of the first.
  size_t Add(size_t count);
  // Runs items that no worker has taken yet until item is done, then
  // rethrows the first exception a job threw.
  void WaitFor(size_t item);

 private:
  void Run(int worker);
  // Runs the next item; called and returns with the lock held.
  void RunNext(int worker, std::unique_lock<std::mutex>& lock);

  Job m_job;
  size_t m_nWindow;
  std::mutex m_mutex;
  std::condition_variable m_cvWork;  // an item or the stop is there
  std::condition_variable m_cvDone;  // an item is done
  size_t m_added = 0;                // items added
  size_t m_next = 0;                 // next item to hand out
  std::vector<char> m_done;          // per item (modulo the window): finished
  bool m_bOwnerWaits = false;        // the owner sleeps on m_cvDone
  bool m_bStop = false;
  std::exception_ptr m_error;
  ThreadShare m_share;
  std::vector<std::thread> m_threads;
};

}  // namespace quillery
