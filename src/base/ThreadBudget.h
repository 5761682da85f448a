#pragma once

// ThreadBudget: the one limit on the engine's worker threads. A load or a
// save runs at most ThreadBudget() threads at once, its calling thread
// included: one per hardware thread of the machine. Every mechanism that
// starts workers (docs/ARCHITECTURE.md, "Threads": read-ahead, hand-off
// stage, parallel deflate, note worker pool, tree row reader, content
// counter) takes them from this process-wide budget through a ThreadShare
// before it starts them, and gives them back once they are joined; what it
// is not granted it runs on the calling thread (each has a series path). So
// the stages of one save together stay within the budget, whichever of them
// the chain holds, and two operations at once share it.
//
// Threading: any thread may take and give back (one atomic count). A share
// belongs to the object that starts the workers; it is not copied.

namespace quillery {

// Threads one operation may run at once, the calling thread included: the
// machine's hardware threads (at least 1), or the cap SetThreadBudget set.
int ThreadBudget();
// Caps the budget (a test, a host option); 0 or less: the machine's count.
// Shares already taken are kept.
void SetThreadBudget(int threads);
// Worker threads not taken by any share now.
int FreeWorkerThreads();

class ThreadShare {
 public:
  ThreadShare() = default;
  // Takes min(wanted, free) workers.
  explicit ThreadShare(int wanted) { Take(wanted); }
  ~ThreadShare() { Release(); }
  ThreadShare(const ThreadShare&) = delete;
  ThreadShare& operator=(const ThreadShare&) = delete;

  // Takes up to wanted more workers; returns how many it got (0 when the
  // budget is spent).
  int Take(int wanted);
  // Gives back count of the workers taken (a thread that could not start).
  void Give(int count);
  // Gives back every worker taken.
  void Release() { Give(m_count); }
  int Count() const { return m_count; }

 private:
  int m_count = 0;
};

}  // namespace quillery
