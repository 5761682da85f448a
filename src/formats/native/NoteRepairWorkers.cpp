#include "formats/native/NoteRepairWorkers.h"

#include <algorithm>
#include <system_error>

#include "model/NoteDocument.h"
#include "model/NoteNode.h"

namespace {

// Notes per block: large enough that taking a block costs nothing next to
// repairing it, small enough that the threads end at about the same time.
constexpr int kBlock = 256;
// Threads besides the caller's: the repair is short, and other work may be
// running on the machine.
constexpr unsigned kMaxWorkers = 3;

}  // namespace

NoteRepairWorkers::NoteRepairWorkers(NoteDocument& doc, int minNotes)
    : m_doc(doc), m_nCount(doc.GetNodeCount()), m_nMinNotes(minNotes) {}

NoteRepairWorkers::~NoteRepairWorkers() {
  // Finish was not reached (an exception on the caller's side): stop the
  // workers at their next block and wait for them.
  m_bFailed = true;
  Join();
}

void NoteRepairWorkers::Start() {
  if (m_nCount < m_nMinNotes || m_nCount < 2 * kBlock) return;
  const unsigned cpus = std::thread::hardware_concurrency();
  if (cpus < 2) return;
  const unsigned blocks = static_cast<unsigned>((m_nCount + kBlock - 1) / kBlock);
  const unsigned wanted = std::min({cpus - 1, kMaxWorkers, blocks - 1});
  for (unsigned i = 0; i < wanted; ++i) {
    try {
      m_workers.emplace_back(&NoteRepairWorkers::Work, this);
    } catch (const std::system_error&) {
      break;  // the threads started so far and the caller do the rest
    }
  }
}

void NoteRepairWorkers::Work() {
  try {
    while (!m_bFailed) {
      const int from = m_nNext.fetch_add(kBlock);
      if (from >= m_nCount) return;
      const int to = std::min(m_nCount, from + kBlock);
      for (int i = from; i < to; ++i) m_doc.GetNodeByIdx(i).FixFormatting(nullptr);
    }
  } catch (...) {
    std::lock_guard<std::mutex> lock(m_errorLock);
    if (!m_error) m_error = std::current_exception();
    m_bFailed = true;
  }
}

void NoteRepairWorkers::Join() {
  for (std::thread& t : m_workers)
    if (t.joinable()) t.join();
  m_workers.clear();
}

void NoteRepairWorkers::Finish() {
  Work();
  Join();
  if (m_error) std::rethrow_exception(m_error);
}
