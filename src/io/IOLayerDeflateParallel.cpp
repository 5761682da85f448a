#include "io/IOLayerDeflateParallel.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "base/FaultPoint.h"
#include "base/Log.h"

namespace {

constexpr size_t kWindow = 32768;
// CMF and FLG of a zlib header for a 32 KB window at level 4 (FLEVEL 1).
const char kHeader[2] = {0x78, 0x5E};

}  // namespace

IOLayerDeflateParallel::IOLayerDeflateParallel() {
  // Deflating costs about twice what rendering the markup does, so this
  // stage comes first, but it leaves one free thread of the budget to the
  // writer that feeds it, whose renderers use the same budget.
  const int workers = m_share.Take(std::min(kMaxWorkers, std::max(1, quillery::FreeWorkerThreads() - 1)));
  try {
    for (int i = 0; i < workers; ++i) m_workers.emplace_back(&IOLayerDeflateParallel::Work, this);
  } catch (const std::system_error& e) {
    xLog(LOG_INFO, "IOLayerDeflateParallel: %d worker threads (%s)\n", static_cast<int>(m_workers.size()), e.what());
  }
  m_share.Give(m_share.Count() - static_cast<int>(m_workers.size()));
}

IOLayerDeflateParallel::~IOLayerDeflateParallel() { Stop(); }

void IOLayerDeflateParallel::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bStop = true;
  }
  m_cvWork.notify_all();
  for (std::thread& t : m_workers)
    if (t.joinable()) t.join();
  m_workers.clear();
  m_share.Release();
}

void IOLayerDeflateParallel::Deflate(Chunk& c) {
  quillery::FaultPoint("deflate-chunk");
  c.adler = adler32(adler32(0, nullptr, 0), reinterpret_cast<const Bytef*>(c.in.data()), static_cast<uInt>(c.in.size()));
  z_stream z{};
  const int init = deflateInit2(&z, 4, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  if (init != Z_OK) {
    c.cause = init == Z_MEM_ERROR ? ENOMEM : EIO;
    return;
  }
  // The stream's memory is given back however the chunk ends (a failed
  // allocation of the output throws).
  struct End {
    z_stream& z;
    ~End() { deflateEnd(&z); }
  } end{z};
  if (!c.dictionary.empty() &&
      deflateSetDictionary(&z, reinterpret_cast<const Bytef*>(c.dictionary.data()),
                           static_cast<uInt>(c.dictionary.size())) != Z_OK) {
    c.cause = EIO;
    return;
  }
  c.out.resize(deflateBound(&z, static_cast<uLong>(c.in.size())) + 64);
  z.next_in = reinterpret_cast<Bytef*>(c.in.data());
  z.avail_in = static_cast<uInt>(c.in.size());
  const int flush = c.last ? Z_FINISH : Z_SYNC_FLUSH;
  int r;
  for (;;) {
    z.next_out = reinterpret_cast<Bytef*>(&c.out[z.total_out]);
    z.avail_out = static_cast<uInt>(c.out.size() - z.total_out);
    r = deflate(&z, flush);
    if (r == Z_STREAM_END || (r == Z_OK && z.avail_in == 0 && z.avail_out > 0 && !c.last)) break;
    if (r != Z_OK && r != Z_BUF_ERROR) break;
    c.out.resize(c.out.size() * 2);  // more output is pending
  }
  if (c.last ? r != Z_STREAM_END : r != Z_OK) c.cause = r == Z_MEM_ERROR ? ENOMEM : EIO;
  c.out.resize(z.total_out);
  c.in.clear();
  c.in.shrink_to_fit();
  c.dictionary.clear();
}

void IOLayerDeflateParallel::Work() {
  for (;;) {
    Chunk* c;
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_cvWork.wait(lock, [this] { return m_bStop || !m_todo.empty(); });
      if (m_bStop) return;
      c = m_todo.front();
      m_todo.pop_front();
    }
    // Nothing leaves this thread: the chunk fails with the cause (ENOMEM for a
    // failed allocation), and the stage with it when the chunk's turn comes.
    try {
      Deflate(*c);
    } catch (...) {
      c->cause = CaughtCause();
    }
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      c->done = true;
    }
    m_cvDone.notify_all();
  }
}

void IOLayerDeflateParallel::Submit(bool last) {
  std::unique_ptr<Chunk> c(new Chunk);
  c->in.swap(m_fill);
  c->inSize = c->in.size();
  c->dictionary = m_tail;
  c->last = last;
  if (c->in.size() >= kWindow) {
    m_tail.assign(c->in, c->in.size() - kWindow, kWindow);
  } else {
    m_tail += c->in;
    if (m_tail.size() > kWindow) m_tail.erase(0, m_tail.size() - kWindow);
  }
  Chunk* raw = c.get();
  if (m_workers.empty()) {
    Deflate(*raw);
    raw->done = true;
  }
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_inFlight.push_back(std::move(c));
    if (!m_workers.empty()) m_todo.push_back(raw);
  }
  m_cvWork.notify_one();
}

bool IOLayerDeflateParallel::PassFinished(size_t keep) {
  for (;;) {
    std::unique_ptr<Chunk> c;
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      if (m_inFlight.empty()) return !HasError();
      if (m_inFlight.size() > keep)
        m_cvDone.wait(lock, [this] { return m_inFlight.front()->done; });
      if (!m_inFlight.front()->done) return !HasError();
      c = std::move(m_inFlight.front());
      m_inFlight.pop_front();
    }
    if (HasError()) continue;  // after a failure nothing more leaves
    if (c->cause != 0) {
      xLog(LOG_INFO, "IOLayerDeflateParallel: deflating a chunk failed: %s\n", std::strerror(c->cause));
      SetError(c->cause);
      continue;
    }
    m_adler = adler32_combine(m_adler, c->adler, static_cast<z_off_t>(c->inSize));
    if (!m_headerSent) {
      m_headerSent = true;
      CountOut(2);
      PassOn(const_cast<char*>(kHeader), 2);
    }
    if (!c->out.empty()) {
      CountOut(static_cast<int64_t>(c->out.size()));
      PassOn(&c->out[0], static_cast<int>(c->out.size()));
    }
  }
}

int IOLayerDeflateParallel::Process(char* data, int len) {
  if (HasError() || m_finished) return -1;
  if (!data || len < 1) return 0;
  CountIn(len);
  SetLastCount(len);
  while (len > 0) {
    const size_t room = kChunkSize - m_fill.size();
    const size_t piece = std::min(room, static_cast<size_t>(len));
    if (m_fill.capacity() < kChunkSize) m_fill.reserve(kChunkSize);
    m_fill.append(data, piece);
    data += piece;
    len -= static_cast<int>(piece);
    if (m_fill.size() == kChunkSize) {
      Submit(false);
      if (!PassFinished(2 * std::max<size_t>(1, m_workers.size()))) return -1;
    }
  }
  return HasError() ? -1 : GetLastCount();
}

int IOLayerDeflateParallel::Finalize() {
  if (m_finished) return HasError() ? -1 : 0;
  m_finished = true;
  if (!HasError()) {
    Submit(true);
    PassFinished(0);
  }
  Stop();
  if (!HasError()) {
    unsigned char trailer[4] = {static_cast<unsigned char>(m_adler >> 24), static_cast<unsigned char>(m_adler >> 16),
                                static_cast<unsigned char>(m_adler >> 8), static_cast<unsigned char>(m_adler)};
    CountOut(4);
    PassOn(reinterpret_cast<char*>(trailer), 4);
  }
  return FinalizeNext();
}
