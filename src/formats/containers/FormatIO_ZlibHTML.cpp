#include "formats/containers/FormatIO_ZlibHTML.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "base/File64.h"
#include "base/Log.h"
#include "formats/containers/ContainerIO.h"
#include "io/IOLayerDeflateParallel.h"
#include "io/IOLayerFile64.h"
#include "io/IOLayerRedirect.h"
#include "io/IOLayerThread.h"
#include "io/IOReadAhead.h"
#include "io/IOLayerZlib.h"
#include "io/IOProcess.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"

using quillery::ClampToInt;
using quillery::ReadExact;
using quillery::WriteExact;

namespace {

const char kMagic[] = "QUILLERY";
const char kTag[] = "zlib1";

// Reads the header after the magic check's 8 bytes: tag, reserved bytes and stream
// size. False on a short read, and (logged, with the failure reason set) when the tag
// is not "zlib1", the one version there is: the stream of another is not decoded.
bool ReadHeaderRest(File64& file, const char* path, unsigned char reserved[8], std::uint64_t& streamSize) {
  unsigned char tag[5];
  unsigned char size[8];
  if (!ReadExact(file, tag, 5) || !ReadExact(file, reserved, 8) || !ReadExact(file, size, 8))
    return false;
  if (std::memcmp(tag, kTag, 5) != 0) {
    quillery::ReportUnknownVersion("compressed", tag, 5, path);
    return false;
  }
  streamSize = quillery::LoadBE64(size);
  return true;
}

void SetStreamLimit(IOLayerZlib& zlib, std::uint64_t streamSize) {
  // 0 means the size was never patched in: zlib's own end marker ends the stream.
  if (streamSize > 0 && streamSize < static_cast<std::uint64_t>(INT64_MAX))
    zlib.SetLimit(static_cast<int64_t>(streamSize));
}

void LogZlibTotals(const char* fmt, const IOLayerZlib& zlib) {
  xLog(LOG_INFO, fmt, ClampToInt(zlib.GetTotalIn()), ClampToInt(zlib.GetTotalOut()));
}

}  // namespace

FormatIO_ZlibHTML::FormatIO_ZlibHTML() : m_nVersion(1) { std::memset(m_reserved, 0, sizeof(m_reserved)); }

FormatIO_ZlibHTML::~FormatIO_ZlibHTML() = default;

int FormatIO_ZlibHTML::Load(const char* path, NoteDocument& doc, int parentIdx) {
  ReleaseFile();
  if (!path) return DOC_LOAD_NOT_FOUND;
  IOProcess io(IOLayerBase::MODE_READ);
  IOLayerFile64* fileLayer = new IOLayerFile64;
  io.PushLayer(fileLayer);
  File64& file = fileLayer->GetFile();
  bool locked = false;
  int result = OpenDocumentFile(path, file, locked);
  if (result != DOC_LOAD_OK) return result;

  char magic[8];
  if (!ReadExact(file, magic, 8) || std::memcmp(magic, kMagic, 8) != 0) return DOC_LOAD_FORMAT_ERROR;
  IOLayerZlib* zlib = new IOLayerZlib(true);
  io.PushLayer(zlib);
  if (zlib->GetError() != 0) {
    xLog(LOG_INFO, "Error loading document: internal error detected in Zlib\n");
    return DOC_LOAD_DECODER_FAIL;
  }
  // A worker reads and inflates while this thread parses (and so allocates the notes,
  // as a plain load does).
  IOReadAhead ahead;
  io.PushLayer(ahead.NewCollector());

  std::uint64_t streamSize = 0;
  unsigned char reserved[8];
  if (!ReadHeaderRest(file, path, reserved, streamSize)) return DOC_LOAD_FORMAT_ERROR;
  std::memcpy(m_reserved, reserved, sizeof(m_reserved));
  m_nVersion = 1;
  SetStreamLimit(*zlib, streamSize);
  const int64_t fileSize = File64::FileSize(path);
  xLog(LOG_INFO, "Document file size: %d\n", ClampToInt(fileSize));

  BeginLoad(doc, parentIdx, path, -1);
  result = quillery::LoadPayload(io, ahead, file, *fileLayer, zlib, m_bReportProgress, fileSize, ParseRedirector,
                                 static_cast<HTMLParser*>(this));
  if (result == DOC_LOAD_FORMAT_ERROR) xLog(LOG_ERROR, "Damaged compressed document: %s\n", path);
  result = FinishLoad(result);
  if (result == DOC_LOAD_OK) KeepDocumentFile(file, locked);
  return result;
}

int FormatIO_ZlibHTML::Save(const char* path, RecursiveTreeWalker& walker) { return Save(path, walker, false); }

int FormatIO_ZlibHTML::Save(const char* path, RecursiveTreeWalker& walker, bool append) {
  NoteDocument& doc = walker.GetDocument();
  // Never write through a kept descriptor (after a load it sits at the end of the
  // old contents): the output is the file made for this save, or the path reopened,
  // truncated unless appending.
  ReleaseFile();
  if (!path || !*path) return DOC_SAVE_NOT_OPEN;
  m_strPath = path;

  // The writer works on this thread, the file on a worker, and the stream is
  // deflated in chunks by a pool of workers.
  IOProcess io(IOLayerBase::MODE_WRITE);
  IOLayerThread* handOff = new IOLayerThread;
  io.PushLayer(handOff);
  IOLayerDeflateParallel* zlib = new IOLayerDeflateParallel;
  io.PushLayer(zlib);
  IOLayerFile64* fileLayer = new IOLayerFile64;
  io.PushLayer(fileLayer);
  File64& out = fileLayer->GetFile();
  const int flags = append ? (F64_WRITE | F64_SHARE_READ | F64_OPEN_EXISTING)
                           : (F64_READ | F64_WRITE | F64_SHARE_READ | F64_OPEN_ALWAYS | F64_OPEN_EXISTING);
  if (!OpenOutput(out, path, flags)) return DOC_SAVE_NOT_OPEN;
  int64_t start = 0;
  if (append && (start = out.SeekEnd()) < 0) return DOC_SAVE_ERROR;
  m_file = out;
  m_file.Lock(true);  // a refused lock does not stop the save
  m_bFileLocked = true;

  auto fail = [&](int code) {
    io.CleanLayerList();
    ReleaseFile();
    if (OwnsOutput()) quillery::DiscardFailedOutput(m_strPath, append, start);
    return code;
  };

  const unsigned char zero[8] = {};
  if (!WriteExact(out, kMagic, 8)) {
    xLog(LOG_INFO, "Failed to write header\n");
    return fail(DOC_SAVE_WRITE_ERROR);
  }
  if (!WriteExact(out, kTag, 5)) {
    xLog(LOG_INFO, "Failed to write header (1)\n");
    return fail(DOC_SAVE_WRITE_ERROR);
  }
  if (!WriteExact(out, m_reserved, 8)) {
    xLog(LOG_INFO, "Failed to write header (2)\n");
    return fail(DOC_SAVE_WRITE_ERROR);
  }
  if (!WriteExact(out, zero, 8)) {
    xLog(LOG_INFO, "Failed to write header (3)\n");
    return fail(DOC_SAVE_WRITE_ERROR);
  }

  BeginNativeSave(doc);
  WriteDocContents(io, walker);
  if (m_nSaveError != 0) handOff->Cancel();  // nothing more of a failed save is written
  if (io.Finalize() < 0 || io.HasError()) SetChainFailure(io);
  if (m_nSaveError != 0) return fail(m_nSaveError);

  const int patched = quillery::PatchStreamSize(out, start + kStreamSizeOffset, zlib->GetTotalOut());
  if (patched != 0) {
    xLog(LOG_INFO, "Failed to update header (4)\n");
    return fail(patched);
  }
  if (!out.Detach()) return fail(DOC_SAVE_WRITE_ERROR);
  m_file.Unlock();
  m_file.Lock(false);
  return DOC_SAVE_OK;
}

bool FormatIO_ZlibHTML::DumpFile(const char* src, const char* dst, const char* password) {
  if (OwnsOutput()) return DumpThroughTempFile(src, dst, password);
  IOProcess io(IOLayerBase::MODE_READ);
  IOLayerFile64* fileLayer = new IOLayerFile64;
  io.PushLayer(fileLayer);
  File64& in = fileLayer->GetFile();
  File64 out;
  if (!quillery::OpenDumpFiles(*this, src, in, dst, out)) return false;
  char magic[8];
  if (!ReadExact(in, magic, 8)) return false;
  if (std::memcmp(magic, kMagic, 8) != 0) xLog(LOG_WARNING, "Format header signature doesn't match\n");
  IOLayerZlib* zlib = new IOLayerZlib(true);
  io.PushLayer(zlib);
  if (zlib->GetError() != 0) {
    xLog(LOG_WARNING, "Error loading document: internal error detected in Zlib\n");
    return false;
  }
  IOLayerRedirect* sink = new IOLayerRedirect;
  sink->SetCallback(DumpRedirector, &out);
  io.PushLayer(sink);
  unsigned char reserved[8];
  std::uint64_t streamSize = 0;
  if (!ReadHeaderRest(in, src, reserved, streamSize)) return false;
  SetStreamLimit(*zlib, streamSize);
  const int64_t fileSize = File64::FileSize(src);
  xLog(LOG_INFO, "Zlib stream size as read from file is: %d\n",
       ClampToInt(static_cast<int64_t>(std::min<std::uint64_t>(streamSize, INT64_MAX))));
  xLog(LOG_INFO, "Document file size: %d\n", ClampToInt(fileSize));

  quillery::PumpPayload(io, in, false, fileSize);
  io.Finalize();
  LogZlibTotals("Zlib processed bytes: %d, written out: %d\n", *zlib);
  const bool decoded = quillery::PayloadResult(io, *fileLayer, zlib) == 0;
  const bool written = out.Close();
  return decoded && written;
}
