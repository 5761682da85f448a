#include "io/IOReadAhead.h"

#include <exception>

#include "base/Log.h"
#include "io/IOLayerBase.h"
#include "io/IOProcess.h"

namespace {

// Reads of the chain when it runs on the caller's thread: small, so that one read's
// decoded output stays small while nobody waits for room.
constexpr int kSeriesRequest = 1024;

}  // namespace

// The chain's last stage: everything the stages before it produce goes into blocks.
class IOReadAhead::Collector : public IOLayerBase {
 public:
  explicit Collector(IOReadAhead& owner) : m_owner(owner) {}
  char* GetOutBuffer() override { return nullptr; }
  int Process(char* data, int len) override {
    if (!data || len < 1) return 0;
    CountIn(len);
    CountOut(len);
    SetLastCount(len);
    m_owner.Collect(data, len);
    return len;
  }
  int Finalize() override { return FinalizeNext(); }

 private:
  IOReadAhead& m_owner;
};

IOReadAhead::IOReadAhead() = default;

IOReadAhead::~IOReadAhead() { Cancel(); }

IOLayerBase* IOReadAhead::NewCollector() { return new Collector(*this); }

void IOReadAhead::Start(IOProcess& io) {
  m_io = &io;
  m_readBuffer.assign(static_cast<size_t>(kRequest) + 8, '\0');
  if (!m_handOff.StartWorker([this] { Run(); })) {
    xLog(LOG_INFO, "IOReadAhead: no worker thread, reading in series\n");
    m_bThreadless = true;
  }
}

bool IOReadAhead::PullOnce(int request) {
  bool more = false;
  m_io->Read(m_readBuffer.data(), request, more);
  const int got = m_io->GetLayer(0)->GetLastCount();
  if (got > 0) m_sourceCount.fetch_add(got, std::memory_order_relaxed);
  return more;
}

void IOReadAhead::CloseChain() {
  m_io->Finalize();
  m_handOff.Push(!m_bThreadless);
  m_handOff.Close();
}

void IOReadAhead::Run() {
  for (bool more = true; more;) {
    if (m_handOff.IsStopped()) return;
    more = PullOnce(kRequest);
  }
  if (m_handOff.IsStopped()) return;
  CloseChain();
}

void IOReadAhead::Collect(const char* data, int len) { m_handOff.Append(data, len, !m_bThreadless); }

bool IOReadAhead::Next(const char*& data, int& len) {
  data = nullptr;
  len = 0;
  if (!m_io) return false;
  std::vector<char>* block = nullptr;
  if (m_bThreadless) {
    // The chain runs here, a small read at a time, until a block is ready.
    while (!m_handOff.Take(block, false)) {
      if (m_bSeriesDone || m_handOff.IsStopped()) return false;
      if (!PullOnce(kSeriesRequest)) {
        m_bSeriesDone = true;
        CloseChain();
      }
    }
  } else if (!m_handOff.Take(block)) {
    return false;
  }
  data = block->data();
  len = static_cast<int>(block->size());
  return true;
}

// An exception of a stopped chain no longer matters to anyone.
void IOReadAhead::Cancel() { m_handOff.Abandon(); }

void IOReadAhead::Finish() {
  if (!m_handOff.IsEnded()) {
    // Blocks are still coming that nobody will take: waiting would never end.
    Cancel();
    return;
  }
  if (const std::exception_ptr thrown = m_handOff.JoinWorker()) std::rethrow_exception(thrown);
}
