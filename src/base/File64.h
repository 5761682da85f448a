#pragma once

// Buffered file on a POSIX descriptor, with advisory flock locks.
//
// Ownership: the descriptor lives in a shared handle. Copying (operator=)
// first writes out the source's pending bytes, then shares the handle; the
// descriptor is closed when the last sharer closes or is destroyed. Detach
// drops one object's share without ever closing the descriptor.
//
// Invariants: at most kBufferSize bytes wait in the write buffer; they are
// written out before any Read, Seek, SeekEnd, Flush, Close, Detach or copy.
// A failed write or read sets a sticky error flag that only Open clears;
// Write then returns -1, and Flush/Close return false. Paths are passed to
// the file system unchanged (UTF-8 on this platform).

#include <cstdint>
#include <memory>
#include <string>

enum File64OpenFlags {
  F64_READ = 1,
  F64_WRITE = 2,
  F64_SHARE_READ = 4,   // accepted, no effect
  F64_SHARE_WRITE = 8,  // accepted, no effect
  F64_OPEN_ALWAYS = 16,    // create a missing file
  F64_OPEN_EXISTING = 32,  // with F64_OPEN_ALWAYS: truncate an existing file
};

class File64 {
 public:
  static const int kBufferSize = 2048;

  File64();
  File64(const File64& other);
  File64& operator=(const File64& other);
  ~File64();  // unlocks (when the last sharer), then closes

  // Closes any open descriptor, then opens the path with O_CLOEXEC.
  // READ -> O_RDONLY, WRITE -> O_WRONLY, both -> O_RDWR (neither: read only);
  // OPEN_ALWAYS -> O_CREAT, OPEN_ALWAYS|OPEN_EXISTING -> O_CREAT|O_TRUNC;
  // otherwise the file must exist. Created files get mode 0600. Folders are
  // refused. True when the file is open.
  bool Open(const char* path, int flags);
  bool Open(const std::string& path, int flags) { return Open(path.c_str(), flags); }
  // Closes any open descriptor, then works on a duplicate of fd (the caller
  // keeps fd); path only names the file in messages. True when open.
  bool OpenDescriptor(int fd, const std::string& path);

  // Reads up to count bytes (retrying EINTR and short reads); the number
  // read, 0 at the end of the file, -1 on error.
  int Read(void* buf, int count);
  // Buffered write. Returns count when all bytes were taken, fewer when a
  // direct write stopped part-way, -1 on failure or after an earlier error.
  int Write(const void* data, int count);
  // Writes out the pending buffer; false on failure or after an earlier error.
  bool Flush();
  // Flush, then fsync; false when either fails.
  bool Sync();

  int64_t Seek(int64_t offset);  // new position or -1
  int64_t SeekEnd();             // file size or -1
  int64_t GetPosition() const;   // descriptor position; buffered bytes not counted

  bool Lock(bool exclusive);  // non-blocking flock
  void Unlock();              // only when this object holds the lock

  bool IsOpen() const { return m_handle != nullptr; }
  bool IsLocked() const { return IsOpen() && m_bLocked; }
  bool HasError() const { return m_bError; }
  // The errno value of the failure behind HasError (the first one); 0 without.
  int GetErrorCause() const { return m_bError ? m_nErrorCause : 0; }
  const std::string& GetPath() const { return m_strPath; }
  int GetDescriptor() const;  // -1 when closed

  // Flushes and closes (the descriptor itself only when this is its last
  // sharer). Does not unlock explicitly, but a lock ends with the last close.
  // False when a write, the flush or close(2) failed.
  bool Close();
  // Flushes, then forgets the descriptor without closing it and clears the
  // lock flag. False when the flush failed.
  bool Detach();

  static int64_t FileSize(const char* path);  // -1 when it cannot be examined
  static int64_t FileSize(const std::string& path) { return FileSize(path.c_str()); }
  static bool PathExists(const char* path);
  static bool PathExists(const std::string& path) { return PathExists(path.c_str()); }
  static int64_t DriveFreeSize(const char* path);  // bytes available, -1 on failure
  static int64_t DriveFreeSize(const std::string& path) { return DriveFreeSize(path.c_str()); }

 private:
  struct Handle;
  bool FlushPending() const;
  bool WriteAll(const char* data, int count, int* written) const;
  void SetError(int err) const;  // sets the sticky flag, keeping the first cause

  std::shared_ptr<Handle> m_handle;
  std::string m_strPath;
  bool m_bLocked;
  // Pending bytes and the error flag change in a const copy source as well.
  mutable char m_buffer[kBufferSize];
  mutable int m_nBuffered;
  mutable bool m_bError;
  mutable int m_nErrorCause;
};
