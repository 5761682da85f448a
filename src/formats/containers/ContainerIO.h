#pragma once

// Small helpers shared by the encrypted and the compressed document containers:
// big-endian header integers, exact reads and writes of header fields, the stream-size
// patch, the salt source, password wiping, the report of an unknown version tag and
// the clean-up of a failed save.
// Stateless (ReportUnknownVersion only sets the process's failure reason); nothing here
// owns a file.

#include <cstddef>
#include <cstdint>
#include <string>

#include "io/IOLayerRedirect.h"

class File64;
class FormatIO_Base;
class IOLayerFile64;
class IOLayerZlib;
class IOProcess;
class IOReadAhead;

namespace quillery {

void StoreBE64(unsigned char* p, std::uint64_t v);
std::uint64_t LoadBE64(const unsigned char* p);

// Reads exactly n bytes; false on a short read or a read error.
bool ReadExact(File64& file, void* buf, int n);
// Writes n bytes; false when the file took fewer or reported an error.
bool WriteExact(File64& file, const void* data, int n);

// Seeks to offset and writes size there as 8 bytes big-endian, then flushes.
// Returns 0, or the save result of the failure: 7 when the seek failed, 10 when the
// write or the flush failed.
int PatchStreamSize(File64& file, std::int64_t offset, std::uint64_t size);

// n bytes from the system's cryptographic random source; false when it cannot deliver.
bool SecureRandomBytes(unsigned char* buf, std::size_t n);

// Overwrites the string's bytes (the optimiser may not drop it), then empties it.
void SecureWipe(std::string& s);

// A copy of a password that is wiped when it goes out of scope.
class ScopedSecret {
 public:
  explicit ScopedSecret(const char* s) : m_str(s ? s : "") {}
  ~ScopedSecret() { SecureWipe(m_str); }
  ScopedSecret(const ScopedSecret&) = delete;
  ScopedSecret& operator=(const ScopedSecret&) = delete;
  const std::string& Get() const { return m_str; }

 private:
  std::string m_str;
};

// Removes what a failed save left behind. A container appended to an existing file is
// cut off again (the file is truncated back to where the container began); a file the
// save created or truncated is removed. The file must be closed by the caller first.
void DiscardFailedOutput(const std::string& path, bool append, std::int64_t containerStart);

// Opens a dump's source (read-only) and destination, the output file given to fmt
// (FormatIO_Base::SetOutputFile; DumpFile gives one through DumpThroughTempFile);
// logs which one failed and returns false then.
bool OpenDumpFiles(const FormatIO_Base& fmt, const char* src, File64& in, const char* dst, File64& out);

// Logs, and gives as the failure reason (SetFailureReason), that the container at
// path carries the version tag tag (n bytes), which names no version this program
// reads; kind ("encrypted", "compressed") names the container in the log.
void ReportUnknownVersion(const char* kind, const unsigned char* tag, int n, const char* path);

// A 64-bit count for an "%d" log field, clamped to the int range.
int ClampToInt(std::int64_t v);

// Pulls a read chain to its end in 1,024-byte requests (the payload after a container
// header). With progress, the file position is reported against total. Returns 0, or
// 1 when ProgressInfo asks to cancel.
int PumpPayload(IOProcess& io, File64& file, bool progress, std::int64_t total);

// Runs a container's payload chain to its end for a load: the chain's stages (file,
// decoders) work on ahead's worker, whose collector must be the chain's last stage,
// while sink takes the output on this thread. With progress, the file position is
// reported against total. Returns 0, 1 when ProgressInfo asks to cancel (the worker
// is stopped and the chain left unfinished), or PayloadResult's 12, 7 or 5.
int LoadPayload(IOProcess& io, IOReadAhead& ahead, File64& file, const IOLayerFile64& fileLayer,
                const IOLayerZlib* zlib, bool progress, std::int64_t total, IOLayerRedirect::Callback sink,
                void* user);

// The load result of a pumped and finalised payload chain: 12 when a stage ran out of
// memory, 7 when the file could not be read, 5 when a stage found the payload damaged (a cipher text ending inside a
// block, a corrupt stream) or, with a zlib stage, when the stream did not reach its
// end; otherwise 0.
int PayloadResult(const IOProcess& io, const IOLayerFile64& file, const IOLayerZlib* zlib);

}  // namespace quillery
