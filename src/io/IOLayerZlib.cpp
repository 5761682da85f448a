#include "io/IOLayerZlib.h"

#include <cerrno>
#include <cstring>

#include "base/Log.h"

namespace {

// The zlib version this code was written against; zlib checks only its first digit.
const char* const kAssumedZlibVersion = "1.2.11";

const char* ZlibMessage(const z_stream& s, int ret) { return s.msg ? s.msg : zError(ret); }

}  // namespace

IOLayerZlib::IOLayerZlib(bool zlibHeader)
    : m_bZlibHeader(zlibHeader),
      m_bInitialized(false),
      m_bStreamLive(false),
      m_bFinished(false),
      m_bStreamEnded(false),
      m_nCompressionLevel(4),
      m_nLastResult(Z_OK) {
  memset(&m_stream, 0, sizeof(m_stream));
  memset(m_outBuffer, 0, sizeof(m_outBuffer));
}

IOLayerZlib::~IOLayerZlib() { EndStream(); }

void IOLayerZlib::EndStream() {
  if (!m_bStreamLive) return;
  if (IsWriteMode())
    deflateEnd(&m_stream);
  else
    inflateEnd(&m_stream);
  m_bStreamLive = false;
}

void IOLayerZlib::Initialize(int mode) {
  IOLayerBase::Initialize(mode);
  if (m_bInitialized) return;
  m_bInitialized = true;
  int ret;
  if (IsWriteMode()) {
    ret = deflateInit_(&m_stream, m_nCompressionLevel, kAssumedZlibVersion, int(sizeof(z_stream)));
  } else if (m_bZlibHeader) {
    ret = inflateInit_(&m_stream, kAssumedZlibVersion, int(sizeof(z_stream)));
  } else {
    ret = inflateInit2_(&m_stream, -15, kAssumedZlibVersion, int(sizeof(z_stream)));
  }
  if (ret != Z_OK) {
    m_nLastResult = ret;
    SetError(ret == Z_MEM_ERROR ? ENOMEM : EIO);
    xLog(LOG_INFO, "Error initializing zlib compression engine: %d\n", ret);
    if (ret == Z_VERSION_ERROR)
      xLog(LOG_INFO, "Zlib version mismatch (assumed: %s, real: %s)\n", kAssumedZlibVersion,
           zlibVersion());
  } else {
    m_bStreamLive = true;
  }
  m_stream.avail_in = 0;
  m_stream.next_in = nullptr;
  m_stream.next_out = reinterpret_cast<Bytef*>(m_outBuffer);
  m_stream.avail_out = kOutBufferSize;
}

int64_t IOLayerZlib::RunLoop(int flush) {
  m_nLastResult = Z_OK;
  int64_t produced = 0;
  for (;;) {
    m_stream.next_out = reinterpret_cast<Bytef*>(m_outBuffer);
    m_stream.avail_out = kOutBufferSize;
    int ret = IsWriteMode() ? deflate(&m_stream, flush) : inflate(&m_stream, flush);
    int have = kOutBufferSize - int(m_stream.avail_out);
    produced += have;
    CountOut(have);
    SetLastCount(have);
    if (have > 0 && m_pNext) PassOn(m_outBuffer, have);
    if (ret == Z_BUF_ERROR && flush == Z_NO_FLUSH) {
      // No progress was possible: all input is taken and no output is pending.
      // Not an error while more input may come.
      break;
    }
    m_nLastResult = ret;
    if (ret == Z_STREAM_END) {
      if (!IsWriteMode()) m_bStreamEnded = true;
      break;
    }
    if (ret != Z_OK) {
      xLog(LOG_INFO, "Zlib error: %s\n", ZlibMessage(m_stream, ret));
      SetError(ret == Z_MEM_ERROR ? ENOMEM : EIO);
      break;
    }
    if (HasError()) break;  // the next stage failed to take our output
    if (flush == Z_FINISH) continue;
    // Go on while input is left, or while the output buffer was filled (more output
    // may be pending inside zlib).
    if (m_stream.avail_in == 0 && m_stream.avail_out != 0) break;
  }
  return produced;
}

int IOLayerZlib::Process(char* data, int len) {
  if (m_nLastResult != Z_OK || HasError() || m_bFinished || !m_bStreamLive) return -1;
  if (m_nLimit >= 0 && m_nTotalIn + len > m_nLimit) {
    xLog(LOG_INFO, "IOLayerZlib::Process Reached end of stream!\n");
    len = int(m_nLimit - m_nTotalIn);
  }
  if (!data || len < 1) return 0;
  m_stream.next_in = reinterpret_cast<Bytef*>(data);
  m_stream.avail_in = uInt(len);
  int64_t produced = RunLoop(Z_NO_FLUSH);
  // Whatever was not taken (after the stream's end or an error) is dropped: the caller's
  // buffer is not ours to keep.
  m_stream.next_in = nullptr;
  m_stream.avail_in = 0;
  SetLastCount(int(produced > 0x7fffffff ? 0x7fffffff : produced));
  CountIn(len);
  return HasError() ? -1 : 0;
}

int IOLayerZlib::Finalize() {
  if (m_bFinished) return HasError() ? -1 : 0;
  m_bFinished = true;
  int64_t produced = 0;
  if (m_bStreamLive && !HasError()) {
    // Finishing runs until Z_STREAM_END; anything else (Z_BUF_ERROR for a stream cut
    // short) marks the stage failed.
    produced = RunLoop(Z_FINISH);
    xLog(LOG_INFO, "IOLayerZlib::Finalize (%d bytes)\n", int(produced));
  }
  EndStream();
  if (!m_pNext) return HasError() ? -1 : int(produced);
  return FinalizeNext();
}
