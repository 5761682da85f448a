#include "formats/containers/ContainerIO.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "base/File64.h"
#include "base/Log.h"
#include "base/Progress.h"
#include "io/IOLayerFile64.h"
#include "io/IOLayerZlib.h"
#include "io/IOProcess.h"
#include "io/IOReadAhead.h"
#include "model/FormatIO_Base.h"
#include "save/SafeSave.h"

namespace quillery {

void StoreBE64(unsigned char* p, std::uint64_t v) {
  for (int i = 7; i >= 0; --i) {
    p[i] = static_cast<unsigned char>(v & 0xFF);
    v >>= 8;
  }
}

std::uint64_t LoadBE64(const unsigned char* p) {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
  return v;
}

bool ReadExact(File64& file, void* buf, int n) { return file.Read(buf, n) == n; }

bool WriteExact(File64& file, const void* data, int n) { return file.Write(data, n) == n; }

int PatchStreamSize(File64& file, std::int64_t offset, std::uint64_t size) {
  if (file.Seek(offset) != offset) return 7;
  unsigned char field[8];
  StoreBE64(field, size);
  if (!WriteExact(file, field, 8) || !file.Flush()) return 10;
  return 0;
}

bool SecureRandomBytes(unsigned char* buf, std::size_t n) {
  return RAND_bytes(buf, static_cast<int>(n)) == 1;
}

void SecureWipe(std::string& s) {
  if (!s.empty()) OPENSSL_cleanse(&s[0], s.size());
  s.clear();
}

void DiscardFailedOutput(const std::string& path, bool append, std::int64_t containerStart) {
  if (path.empty()) return;
  if (append && containerStart >= 0) {
    if (truncate(path.c_str(), static_cast<off_t>(containerStart)) != 0)
      xLog(LOG_ERROR, "Cannot cut the failed container off [%s]: %s\n", path.c_str(),
           strerror(errno));
    return;
  }
  if (remove(path.c_str()) != 0 && errno != ENOENT)
    xLog(LOG_ERROR, "Cannot remove the failed output [%s]: %s\n", path.c_str(), strerror(errno));
}

bool OpenDumpFiles(const FormatIO_Base& fmt, const char* src, File64& in, const char* dst, File64& out) {
  if (!src || !in.Open(src, F64_READ | F64_SHARE_READ | F64_OPEN_EXISTING)) {
    xLog(LOG_WARNING, "Failed to open input file: [%s]\n", src ? src : "");
    return false;
  }
  if (!dst || fmt.OwnsOutput() || !fmt.OpenOutput(out, dst, F64_WRITE)) {
    xLog(LOG_WARNING, "Failed to open output file: [%s]\n", dst ? dst : "");
    return false;
  }
  return true;
}

void ReportUnknownVersion(const char* kind, const unsigned char* tag, int n, const char* path) {
  // The tag in quotes, each byte that is no printable ASCII as \xNN.
  std::string text = "\"";
  for (int i = 0; i < n; ++i) {
    char byte[8];
    if (tag[i] >= 0x20 && tag[i] < 0x7F && tag[i] != '"' && tag[i] != '\\') {
      byte[0] = static_cast<char>(tag[i]);
      byte[1] = '\0';
    } else {
      snprintf(byte, sizeof(byte), "\\x%02X", tag[i]);
    }
    text += byte;
  }
  text += "\"";
  xLog(LOG_ERROR, "The %s document's version tag %s names no version this program reads: %s\n", kind,
       text.c_str(), path ? path : "");
  SetFailureReason("not a valid document of its format: its version tag " + text +
                   " names no version this program reads");
}

int ClampToInt(std::int64_t v) {
  return v > INT_MAX ? INT_MAX : (v < INT_MIN ? INT_MIN : static_cast<int>(v));
}

int PumpPayload(IOProcess& io, File64& file, bool progress, std::int64_t total) {
  constexpr int kRequest = 1024;
  char buf[kRequest + 8];
  if (progress) ProgressInfo::SetTotalSize(total);
  bool more = true;
  while (more) {
    if (ProgressInfo::IsCanceled()) return 1;
    if (progress) ProgressInfo::SetCurrentSize(file.GetPosition());
    std::memset(buf, 0, sizeof(buf));
    io.Read(buf, kRequest, more);
  }
  if (progress) ProgressInfo::SetCurrentSize(file.GetPosition());
  return 0;
}

int LoadPayload(IOProcess& io, IOReadAhead& ahead, File64& file, const IOLayerFile64& fileLayer,
                const IOLayerZlib* zlib, bool progress, std::int64_t total, IOLayerRedirect::Callback sink,
                void* user) {
  if (progress) ProgressInfo::SetTotalSize(total);
  // The worker owns the file from Start on: progress counts from where the header ended.
  const std::int64_t payloadStart = file.GetPosition();
  if (progress) ProgressInfo::SetCurrentSize(payloadStart);
  if (ProgressInfo::IsCanceled()) return 1;
  ahead.Start(io);
  const char* data = nullptr;
  int len = 0;
  while (ahead.Next(data, len)) {
    if (ProgressInfo::IsCanceled()) {
      ahead.Cancel();
      return 1;
    }
    sink(data, len, user);
    if (progress) ProgressInfo::SetCurrentSize(payloadStart + ahead.GetSourceCount());
  }
  ahead.Finish();
  if (progress) ProgressInfo::SetCurrentSize(file.GetPosition());
  if (zlib)
    xLog(LOG_INFO, "Zlib decompress total input: %d, output: %d\n", ClampToInt(zlib->GetTotalIn()),
         ClampToInt(zlib->GetTotalOut()));
  return PayloadResult(io, fileLayer, zlib);
}

int PayloadResult(const IOProcess& io, const IOLayerFile64& file, const IOLayerZlib* zlib) {
  if (io.GetErrorCause() == ENOMEM) return 12;  // a decoder ran out of memory
  if (file.HasError()) return 7;
  if (io.HasError() || (zlib && !zlib->IsStreamEnded())) return 5;
  return 0;
}

}  // namespace quillery
