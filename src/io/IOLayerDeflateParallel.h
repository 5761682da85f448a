#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/ThreadBudget.h"
#include "io/IOLayerBase.h"

// IOLayerDeflateParallel: the write side of IOLayerZlib (a zlib stream: the level-4
// header 0x78 0x5E, deflate data, the Adler-32 of the input) made by several threads.
// The input is cut into chunks of kChunkSize bytes; each chunk is deflated at level 4
// on a worker thread with the 32 KB before it as preset dictionary and ends on a sync
// flush (the last one on the final block), so that the chunks joined in order are one
// deflate stream any inflater reads; the Adler-32 values of the chunks are combined.
// The compressed bytes differ from a single deflate run; the text they carry does not.
//
// Bounded: at most two chunks per worker are in flight; the producer waits for the
// oldest. Chunks leave to the next stage in order, on the producer's thread.
//
// Threads: up to kMaxWorkers, taken from the thread budget (base/ThreadBudget.h) when
// the stage is made, all but one of the budget's free threads; a worker touches only
// the chunk it took (its input, dictionary and output) and the chunk's done flag.
//
// Errors: a chunk that cannot be deflated, or a next stage that fails, marks the stage
// failed (sticky) with its cause: ENOMEM when memory ran out (a std::bad_alloc on a
// worker is caught there, never leaves the thread), the next stage's cause for its
// failure; Process and Finalize then return -1. When no worker thread can be
// started the chunks are deflated on the producer's thread.
//
// Ownership: the stage owns its chunks and its workers; the destructor stops and joins
// the workers (after the chunk each one is working on).
class IOLayerDeflateParallel : public IOLayerBase {
 public:
  static constexpr size_t kChunkSize = 1 << 20;
  static constexpr int kMaxWorkers = 4;

  IOLayerDeflateParallel();
  ~IOLayerDeflateParallel() override;

  char* GetOutBuffer() override { return nullptr; }
  int Process(char* data, int len) override;
  int Finalize() override;

 private:
  struct Chunk {
    std::string in;
    size_t inSize = 0;
    std::string dictionary;  // up to 32 KB of the input before this chunk
    bool last = false;
    std::string out;
    unsigned long adler = 1;
    bool done = false;
    int cause = 0;  // an errno value once deflating it failed (ENOMEM: memory)
  };

  static void Deflate(Chunk& c);
  void Submit(bool last);
  // Passes finished chunks on in order; with wait, waits until `keep` or fewer are
  // left in flight. False once the stage failed.
  bool PassFinished(size_t keep);
  void Work();
  void Stop();

  quillery::ThreadShare m_share;
  std::vector<std::thread> m_workers;
  std::string m_fill;  // input not yet submitted
  std::string m_tail;  // the last 32 KB of the input submitted so far
  unsigned long m_adler = 1;
  bool m_headerSent = false;
  bool m_finished = false;

  // Shared with the workers, under m_mutex.
  std::mutex m_mutex;
  std::condition_variable m_cvWork;
  std::condition_variable m_cvDone;
  std::deque<std::unique_ptr<Chunk>> m_inFlight;  // submitted, in order
  std::deque<Chunk*> m_todo;                      // not yet taken by a worker
  bool m_bStop = false;
};
