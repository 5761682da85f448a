#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "io/BlockHandOff.h"

class IOLayerBase;
class IOProcess;

// IOReadAhead: runs a read chain (file, cipher, decoder) on a worker thread and hands
// its output to the calling thread in blocks, so that the caller consumes (parses) on
// its own thread while the worker reads and decodes the next bytes. Whatever the
// consumer builds is then allocated by the calling thread, as in a plain load.
//
// Use: push the stage from NewCollector() as the chain's last, Start(io), take blocks
// with Next until it returns false, then Finish. Next gives the chain's output in order
// and unchanged; only the cut into pieces differs (blocks of up to kBlockSize bytes).
//
// Bounded: at most kMaxBlocks filled blocks wait for the consumer; the worker waits for
// room, so memory stays at a few blocks whatever the document's size.
//
// The worker pulls the chain in kRequest-byte reads until its first stage runs dry,
// then finalises the chain (a decoder flushes and checks its stream end there). Stage
// errors stay in the stages (sticky, see IOLayerBase), to be read after Finish. An
// exception thrown by a stage ends the worker; Finish rethrows it on the caller's
// thread; the blocks not yet taken are then dropped. Cancel (also run by the destructor) stops the worker after its current read
// and drops the blocks not yet taken; the chain is then not finalised.
//
// Threading contract: from Start until Finish or Cancel returns, the chain (every
// stage, and the file it reads) belongs to the worker; the caller must not touch it.
// Shared state is the block queue with its flags and the worker's exception (a
// BlockHandOff, whose worker thread comes from the thread budget), and the atomic
// source count. When no thread is granted or can be started, Next runs the chain
// itself in small reads (a stage's exception then leaves Next directly).
//
// Ownership: the chain owns the collector stage; this object owns the blocks and the
// worker. It must be destroyed (or finished) before the chain, so declare it after the
// IOProcess.
class IOReadAhead {
 public:
  static constexpr int kRequest = 64 * 1024;
  static constexpr int kBlockSize = 256 * 1024;
  static constexpr int kMaxBlocks = 4;

  IOReadAhead();
  ~IOReadAhead();
  IOReadAhead(const IOReadAhead&) = delete;
  IOReadAhead& operator=(const IOReadAhead&) = delete;

  // The stage to push last on the chain; it gathers the output into blocks. One per
  // object; the chain owns it.
  IOLayerBase* NewCollector();

  // Starts pulling io on the worker. Call once, after the whole chain is pushed.
  void Start(IOProcess& io);

  // The next block of output (valid until the next call); false once the chain's
  // output is exhausted, after Cancel, or when a stage threw.
  bool Next(const char*& data, int& len);

  // Bytes the chain's first stage has delivered so far (for progress).
  int64_t GetSourceCount() const { return m_sourceCount.load(std::memory_order_relaxed); }

  // Stops the worker without finishing the chain. Safe to call more than once.
  void Cancel();
  // Waits for the worker to end; then rethrows a stage's exception, if any.
  void Finish();

 private:
  class Collector;
  friend class Collector;

  void Run();
  // One read of the chain; false when its source ran dry.
  bool PullOnce(int request);
  // The worker's (or the series fallback's) end of the chain: finalise and close.
  void CloseChain();
  void Collect(const char* data, int len);

  IOProcess* m_io = nullptr;
  bool m_bThreadless = false;
  bool m_bSeriesDone = false;       // threadless: the chain has been finalised
  std::vector<char> m_readBuffer;   // the worker's read buffer
  std::atomic<int64_t> m_sourceCount{0};
  // kMaxBlocks wait for the consumer besides the one it holds.
  BlockHandOff m_handOff{kBlockSize, kMaxBlocks + 1};
};
