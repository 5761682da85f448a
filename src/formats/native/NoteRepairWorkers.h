#pragma once

// NoteRepairWorkers: the formatting repair at the end of a load
// (NoteNode::FixFormatting of every note) spread over a few threads, so
// that the caller can rebuild the document's maps meanwhile.
//
// The notes are handed out in blocks of consecutive indexes from one atomic
// counter; each note is repaired exactly once, by whichever thread took its
// block, and FixFormatting touches nothing but that note's rich text (no
// loader is passed, so no dynamic document is told anything). The result is
// therefore the one of the plain loop over all notes.
//
// Ownership across threads, from Start until Finish returns:
//   - the workers own the rich text (NoteNode::m_objText) of the notes of
//     the blocks they took; nobody else may read or write it;
//   - the caller may read and write everything else of the document and
//     its notes (IDs, parent IDs, positions, clone references, maps), but
//     must not add, remove or move notes;
//   - the first exception a worker meets is kept and rethrown by Finish on
//     the caller's thread; the other threads stop taking blocks then.
// Finish (or the destructor) joins every worker: no thread outlives the
// object. When no thread can be started, or the document is small, Finish
// does all the work on the caller's thread.

#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

class NoteDocument;

class NoteRepairWorkers {
 public:
  // Repairs notes [0, doc.GetNodeCount()) once Start is called. With fewer
  // than minNotes notes no thread is started.
  NoteRepairWorkers(NoteDocument& doc, int minNotes);
  ~NoteRepairWorkers();
  NoteRepairWorkers(const NoteRepairWorkers&) = delete;
  NoteRepairWorkers& operator=(const NoteRepairWorkers&) = delete;

  // Starts the worker threads (none for a small document or a single core).
  void Start();
  // Repairs what is left on this thread, waits for the workers, and rethrows
  // the first exception one of them met.
  void Finish();

 private:
  void Work();
  void Join();

  NoteDocument& m_doc;
  const int m_nCount;       // notes to repair: the document's count at construction
  const int m_nMinNotes;
  std::atomic<int> m_nNext{0};     // first index of the next block to hand out
  std::atomic<bool> m_bFailed{false};
  std::mutex m_errorLock;          // guards m_error
  std::exception_ptr m_error;
  std::vector<std::thread> m_workers;
};
