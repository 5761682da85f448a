#pragma once

#include <atomic>
#include <cerrno>
#include <cstdint>

// IOLayerBase: one stage of an IOProcess chain (file, zlib, cipher, string, callback).
//
// A stage transforms what it is given and pushes its output into the next stage with
// PassOn. In read mode the first stage pulls bytes from its source; in write mode the
// caller pushes data into the first stage. Mode 2 is write; every other value is read.
//
// Errors are sticky. A stage that fails (a write or read that failed, a corrupt or
// unfinished compressed stream, memory that ran out) calls SetError with the cause, an
// errno value (ENOSPC, EIO, ENOMEM ...), and keeps it for good. In write mode a
// negative result from the next stage marks this stage as failed too, with the next
// stage's cause, so a disk error travels up the chain to the caller as what it was;
// from then on Process and Finalize return -1. In read mode a negative result from the next stage is not an error (a decoder
// returns -1 for bytes after its stream's end, which loaders must ignore); each stage
// reports its own failure and IOProcess::HasError looks at every stage.
//
// Ownership: the IOProcess owns every stage; `next` is not owned. A derived stage must
// copy, never change, the input it gets in write mode (it may be a caller's constant).
//
// Contract for a derived stage:
//   - Process(data, len): take len bytes, count them (CountIn/CountOut, SetLastCount),
//     forward output with PassOn, return the next stage's result or the count, or -1
//     once HasError().
//   - Finalize(): flush what is held back, then return FinalizeNext().
//   - GetOutBuffer(): the stage's own output buffer, or null.
class IOLayerBase {
 public:
  static constexpr int MODE_READ = 1;
  static constexpr int MODE_WRITE = 2;

  IOLayerBase();
  virtual ~IOLayerBase();
  IOLayerBase(const IOLayerBase&) = delete;
  IOLayerBase& operator=(const IOLayerBase&) = delete;

  virtual void Initialize(int mode);
  virtual char* GetOutBuffer() = 0;
  virtual int Process(char* data, int len) = 0;
  virtual int Finalize() = 0;

  bool IsWriteMode() const { return m_nMode == MODE_WRITE; }
  int GetMode() const { return m_nMode; }
  // Bytes the stage handled or produced in its last call (negative after a read error).
  int GetLastCount() const { return m_nLastCount; }
  // Upper bound on the input the stage accepts, -1 = none (used by the zlib stage).
  int64_t GetLimit() const { return m_nLimit; }
  void SetLimit(int64_t limit) { m_nLimit = limit; }
  int64_t GetTotalIn() const { return m_nTotalIn; }
  int64_t GetTotalOut() const { return m_nTotalOut; }
  bool HasError() const { return m_nErrorCause.load() != 0; }
  // The errno value of the stage's failure; 0 while it has not failed.
  int GetErrorCause() const { return m_nErrorCause.load(); }

  IOLayerBase* GetNext() const { return m_pNext; }
  void SetNext(IOLayerBase* next) { m_pNext = next; }

 protected:
  // Marks the stage failed; the first cause stays (0 counts as EIO).
  void SetError(int cause = EIO);
  // Inside a catch handler: the cause of the exception being handled, ENOMEM for
  // std::bad_alloc and EIO for anything else.
  static int CaughtCause() noexcept;
  void SetLastCount(int n) { m_nLastCount = n; }
  // Only positive counts are added.
  void CountIn(int64_t n) {
    if (n > 0) m_nTotalIn += n;
  }
  void CountOut(int64_t n) {
    if (n > 0) m_nTotalOut += n;
  }
  // Pushes len bytes (len >= 1) into the next stage and returns its result; without a
  // next stage returns len. In write mode a negative result marks this stage failed.
  int PassOn(char* data, int len);
  // The next stage's Finalize (0 without one); -1 when this stage has failed, in
  // write mode also when the next stage's Finalize failed.
  int FinalizeNext();

  int m_nMode;
  int m_nLastCount;
  int64_t m_nLimit;
  int64_t m_nTotalIn;
  int64_t m_nTotalOut;
  IOLayerBase* m_pNext;
  // Atomic because a chain may hand its later stages to a worker thread
  // (IOLayerThread) while the caller still asks IOProcess::HasError.
  std::atomic<int> m_nErrorCause;
};
