#pragma once

#include "io/BlockHandOff.h"
#include "io/IOLayerBase.h"

// IOLayerThread: hands everything it is given to a worker thread that runs the rest of
// the chain, so that the stages before it (the HTML writer, or a file read with its
// decoders) and the stages after it (a compressor with the file, or the HTML reader)
// work at the same time on two cores. The bytes, their order and the pieces' contents
// are those of a plain chain; only the piece sizes downstream change (blocks of up to
// kBlockSize bytes).
//
// Bounded: at most kMaxBlocks blocks are queued or being worked on; the producer waits
// for room, so memory stays at a few blocks whatever the document's size. The queue,
// the worker and its exception are a BlockHandOff; the worker's thread is taken from
// the thread budget when the stage is made.
//
// Errors and cancel cross the thread: in write mode a failure of a later stage (or an
// exception thrown there) stops the worker, and the producer's next Process or Finalize
// returns -1 with this stage failed; the worker then drops what is still queued. An
// exception thrown by a later stage is rethrown on the producer's thread by Process or
// Finalize. Cancel (also run by the destructor) drops the queued blocks, waits for the
// block in work and stops the worker; later input is dropped, and Finalize then skips the
// later stages' own Finalize.
//
// Threading contract: from the first Process until Finalize or Cancel returns, the later
// stages (and whatever their sinks touch) belong to the worker; the caller must not use
// them. When no thread is granted or can be started the stage passes every piece on at
// once.
//
// Ownership: the blocks are owned by the stage; `next` is not owned (see IOLayerBase).
class IOLayerThread : public IOLayerBase {
 public:
  static constexpr int kBlockSize = 256 * 1024;
  static constexpr int kMaxBlocks = 4;

  IOLayerThread();
  ~IOLayerThread() override;

  char* GetOutBuffer() override { return nullptr; }
  int Process(char* data, int len) override;
  int Finalize() override;

  // Stops the worker without passing the queued bytes on. Safe to call more than once.
  void Cancel();
  bool IsCanceled() const { return m_bCanceled; }

 private:
  bool Start();
  void Run();
  // Joins the worker (if any) and takes over its failure; rethrows its exception.
  void Join();

  bool m_bStarted = false;
  bool m_bThreadless = false;  // no thread: pass on directly
  bool m_bFinished = false;
  bool m_bCanceled = false;
  bool m_bWorkerFailed = false;  // a later stage failed (write mode); read after the join
  int m_nWorkerCause = 0;        // and why (an errno value)
  BlockHandOff m_handOff;
};
