#include "io/IOReadAhead.h"

#include <system_error>
#include <utility>

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
  try {
    m_worker = std::thread(&IOReadAhead::Run, this);
  } catch (const std::system_error& e) {
    xLog(LOG_INFO, "IOReadAhead: no worker thread (%s), reading in series\n", e.what());
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
  if (!m_fill.empty()) HandOver(!m_bThreadless);
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bClosed = true;
  }
  m_cvData.notify_one();
}

void IOReadAhead::Run() {
  try {
    for (bool more = true; more;) {
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bStop) return;
      }
      more = PullOnce(kRequest);
    }
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_bStop) return;
    }
    CloseChain();
  } catch (...) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_exception = std::current_exception();
      m_bClosed = true;
    }
    m_cvData.notify_one();
  }
}

void IOReadAhead::Collect(const char* data, int len) {
  while (len > 0) {
    if (m_fill.capacity() < static_cast<size_t>(kBlockSize)) m_fill.reserve(kBlockSize);
    const int room = kBlockSize - static_cast<int>(m_fill.size());
    const int piece = len < room ? len : room;
    m_fill.insert(m_fill.end(), data, data + piece);
    data += piece;
    len -= piece;
    if (static_cast<int>(m_fill.size()) == kBlockSize && !HandOver(!m_bThreadless)) {
      m_fill.clear();  // stopped: nobody takes the rest
      return;
    }
  }
}

bool IOReadAhead::HandOver(bool wait) {
  {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (wait) m_cvRoom.wait(lock, [this] { return m_bStop || m_queue.size() < static_cast<size_t>(kMaxBlocks); });
    if (m_bStop) return false;
    m_queue.push_back(std::move(m_fill));
    if (!m_spare.empty()) {
      m_fill = std::move(m_spare.back());
      m_spare.pop_back();
    } else {
      m_fill = std::vector<char>();
    }
  }
  m_cvData.notify_one();
  return true;
}

bool IOReadAhead::Next(const char*& data, int& len) {
  data = nullptr;
  len = 0;
  if (!m_io) return false;
  if (m_bThreadless) {
    // The chain runs here, a small read at a time, until a block is ready.
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bStop || !m_queue.empty() || m_bSeriesDone) break;
      }
      if (!PullOnce(kSeriesRequest)) {
        m_bSeriesDone = true;
        CloseChain();
      }
    }
  }
  {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cvData.wait(lock, [this] { return m_bStop || !m_queue.empty() || m_bClosed; });
    if (m_bStop || m_queue.empty()) return false;
    if (m_taken.capacity() > 0) {
      m_taken.clear();
      m_spare.push_back(std::move(m_taken));
    }
    m_taken = std::move(m_queue.front());
    m_queue.pop_front();
  }
  m_cvRoom.notify_one();
  data = m_taken.data();
  len = static_cast<int>(m_taken.size());
  return true;
}

void IOReadAhead::Cancel() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bStop = true;
    m_queue.clear();
  }
  m_cvRoom.notify_all();
  m_cvData.notify_all();
  if (m_worker.joinable()) m_worker.join();
  // An exception of a stopped chain no longer matters to anyone.
  std::lock_guard<std::mutex> lock(m_mutex);
  m_exception = nullptr;
}

void IOReadAhead::Finish() {
  bool closed;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    closed = m_bClosed || m_bStop;
  }
  if (!closed) {
    // Blocks are still coming that nobody will take: waiting would never end.
    Cancel();
    return;
  }
  if (m_worker.joinable()) m_worker.join();
  std::exception_ptr thrown;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    thrown = std::exchange(m_exception, nullptr);
  }
  if (thrown) std::rethrow_exception(thrown);
}
