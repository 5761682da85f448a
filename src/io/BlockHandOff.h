#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "base/ThreadBudget.h"

// BlockHandOff: a bounded queue of byte blocks between two threads, and the worker
// thread that is one of its ends. IOLayerThread hands a write chain's bytes to a
// worker that runs the later stages; IOReadAhead has a worker run a read chain and
// hand its output to the caller. Both are this queue with the worker on the other end.
//
// The producer appends bytes; each block of blockSize bytes is queued, and the
// producer waits (when asked to) while maxBlocks blocks are queued or held by the
// consumer. The consumer takes blocks in order and gives each back (for reuse) with
// its next Take or with Release. Memory stays at maxBlocks + 1 blocks.
//
// Stop (from either side or the owner) drops the queued blocks and wakes both sides:
// Append and Push return false, Take returns false. Close says no block follows;
// Take returns false once the queue is drained.
//
// Worker: StartWorker runs a function on a thread taken from the thread budget
// (base/ThreadBudget.h); false when no thread is granted or none can be started (the
// caller then works in series). An exception the function throws is kept and stops
// the queue; JoinWorker waits for the thread, gives its budget back and returns the
// exception for the owner to rethrow on its own thread; Abandon stops, joins and
// drops it. The destructor abandons.
//
// Threading: Append, Push and Close belong to the producer; Take and Release to the
// consumer; StartWorker, JoinWorker and Abandon to the owner (the thread that is not
// the worker). The queue, the flags and the exception are under one mutex.
class BlockHandOff {
 public:
  BlockHandOff(int blockSize, int maxBlocks);
  ~BlockHandOff();
  BlockHandOff(const BlockHandOff&) = delete;
  BlockHandOff& operator=(const BlockHandOff&) = delete;

  // Takes the worker's thread from the budget now, for a worker started later
  // (a stage of a chain that is built before the stages that take more).
  bool ReserveWorker() { return m_share.Count() > 0 || m_share.Take(1) > 0; }
  bool StartWorker(std::function<void()> run);
  bool HasWorker() const { return m_worker.joinable(); }
  std::exception_ptr JoinWorker();
  void Abandon();

  // Producer: appends len bytes, queuing every full block; false when stopped.
  bool Append(const char* data, int len, bool wait);
  // Producer: queues the block being filled, if any; false when stopped.
  bool Push(bool wait);
  void Close();

  // Consumer: the next block (valid until the next Take or Release); false once
  // closed and drained, or stopped. With wait false it returns false at once when
  // no block is queued.
  bool Take(std::vector<char>*& block, bool wait = true);
  void Release();

  void Stop();
  bool IsStopped();
  // Closed or stopped: no block will come after the queued ones.
  bool IsEnded();

 private:
  bool QueueFill(bool wait);  // producer, with the block full or last

  const size_t m_blockSize;
  const size_t m_maxBlocks;
  std::thread m_worker;
  quillery::ThreadShare m_share;
  std::vector<char> m_fill;   // the block the producer is filling (producer only)
  std::vector<char> m_taken;  // the block the consumer holds (consumer only)
  bool m_holding = false;     // m_taken counts against the bound (consumer only)

  std::mutex m_mutex;
  std::condition_variable m_cvData;
  std::condition_variable m_cvRoom;
  std::deque<std::vector<char>> m_queue;
  std::vector<std::vector<char>> m_spare;  // emptied blocks for reuse
  size_t m_nHeld = 0;                      // queued plus the one the consumer holds
  bool m_bClosed = false;
  bool m_bStop = false;
  std::exception_ptr m_exception;
};
