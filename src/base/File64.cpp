#include "base/File64.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "base/Log.h"

// The shared descriptor. Closing happens in File64::Close so that its result
// can be reported; the destructor only cleans up a handle nobody closed.
struct File64::Handle {
  int fd;
  explicit Handle(int d) : fd(d) {}
  ~Handle() {
    if (fd >= 0) ::close(fd);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
};

File64::File64() : m_bLocked(false), m_nBuffered(0), m_bError(false), m_nErrorCause(0) {}

File64::File64(const File64& other) : File64() { *this = other; }

File64& File64::operator=(const File64& other) {
  if (this == &other) return *this;
  Close();
  other.FlushPending();  // the bytes belong to the file now, written once
  m_handle = other.m_handle;
  m_strPath = other.m_strPath;
  m_bLocked = other.m_bLocked;
  m_bError = other.m_bError;
  m_nErrorCause = other.m_nErrorCause;
  m_nBuffered = 0;
  return *this;
}

File64::~File64() {
  if (m_bLocked && m_handle && m_handle.use_count() == 1) Unlock();
  Close();
}

bool File64::Open(const char* path, int flags) {
  Close();
  m_bError = false;
  m_nErrorCause = 0;
  m_strPath = path ? path : "";
  if (!path || !*path) return false;

  int oflags = O_CLOEXEC;
  if ((flags & F64_READ) && (flags & F64_WRITE))
    oflags |= O_RDWR;
  else if (flags & F64_WRITE)
    oflags |= O_WRONLY;
  else
    oflags |= O_RDONLY;
  if (flags & F64_OPEN_ALWAYS) {
    oflags |= O_CREAT;
    if (flags & F64_OPEN_EXISTING) oflags |= O_TRUNC;
  }

  int fd;
  do {
    fd = ::open(path, oflags, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    xLog(LOG_DEBUG, "File64: cannot open [%s]: %s\n", path, strerror(errno));
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    xLog(LOG_DEBUG, "File64: cannot open [%s]: is a folder\n", path);
    return false;
  }
  m_handle = std::make_shared<Handle>(fd);
  return true;
}

void File64::SetError(int err) const {
  if (!m_bError) m_nErrorCause = err != 0 ? err : EIO;
  m_bError = true;
}

bool File64::OpenDescriptor(int fd, const std::string& path) {
  Close();
  m_bError = false;
  m_strPath = path;
  const int own = fd >= 0 ? fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
  if (own < 0) {
    xLog(LOG_DEBUG, "File64: cannot take the descriptor of [%s]: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  m_handle = std::make_shared<Handle>(own);
  return true;
}

int File64::GetDescriptor() const { return m_handle ? m_handle->fd : -1; }

bool File64::WriteAll(const char* data, int count, int* written) const {
  int done = 0;
  int err = EIO;
  while (done < count) {
    ssize_t n = ::write(m_handle->fd, data + done, static_cast<size_t>(count - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      xLog(LOG_ERROR, "File64: write failed [%s]: %s\n", m_strPath.c_str(), strerror(err));
      break;
    }
    if (n == 0) break;
    done += static_cast<int>(n);
  }
  *written = done;
  if (done < count) {
    SetError(err);
    return false;
  }
  return true;
}

bool File64::FlushPending() const {
  if (m_nBuffered == 0) return !m_bError;
  int n = m_nBuffered;
  m_nBuffered = 0;  // never written twice, even when the write fails
  if (!m_handle || m_bError) {
    SetError(EBADF);
    return false;
  }
  int written = 0;
  return WriteAll(m_buffer, n, &written);
}

bool File64::Flush() { return FlushPending(); }

bool File64::Sync() {
  if (!FlushPending()) return false;
  if (!m_handle) return false;
  if (fsync(m_handle->fd) != 0) {
    SetError(errno);
    xLog(LOG_ERROR, "File64: fsync failed [%s]: %s\n", m_strPath.c_str(), strerror(m_nErrorCause));
    return false;
  }
  return true;
}

int File64::Write(const void* data, int count) {
  if (!m_handle || m_bError || count < 0) return -1;
  if (count == 0) return 0;
  const char* p = static_cast<const char*>(data);
  if (m_nBuffered + count <= kBufferSize) {
    memcpy(m_buffer + m_nBuffered, p, static_cast<size_t>(count));
    m_nBuffered += count;
    return count;
  }
  if (!FlushPending()) return -1;
  if (count < kBufferSize) {
    memcpy(m_buffer, p, static_cast<size_t>(count));
    m_nBuffered = count;
    return count;
  }
  int written = 0;
  if (WriteAll(p, count, &written)) return count;
  return written > 0 ? written : -1;
}

int File64::Read(void* buf, int count) {
  if (!m_handle || count < 0) return -1;
  if (!FlushPending()) return -1;
  char* p = static_cast<char*>(buf);
  int done = 0;
  while (done < count) {
    ssize_t n = ::read(m_handle->fd, p + done, static_cast<size_t>(count - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      SetError(errno);
      xLog(LOG_ERROR, "File64: read failed [%s]: %s\n", m_strPath.c_str(), strerror(m_nErrorCause));
      return -1;
    }
    if (n == 0) break;
    done += static_cast<int>(n);
  }
  return done;
}

int64_t File64::Seek(int64_t offset) {
  if (!m_handle || !FlushPending()) return -1;
  off_t pos = lseek(m_handle->fd, static_cast<off_t>(offset), SEEK_SET);
  return pos < 0 ? -1 : static_cast<int64_t>(pos);
}

int64_t File64::SeekEnd() {
  if (!m_handle || !FlushPending()) return -1;
  off_t pos = lseek(m_handle->fd, 0, SEEK_END);
  return pos < 0 ? -1 : static_cast<int64_t>(pos);
}

int64_t File64::GetPosition() const {
  if (!m_handle) return -1;
  off_t pos = lseek(m_handle->fd, 0, SEEK_CUR);
  return pos < 0 ? -1 : static_cast<int64_t>(pos);
}

bool File64::Lock(bool exclusive) {
  if (!m_handle) return false;
  int op = (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
  int rc;
  do {
    rc = flock(m_handle->fd, op);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return false;
  m_bLocked = true;
  xLog(LOG_INFO, "Locked file %d, exclusive=%d [%s]\n", m_handle->fd, exclusive ? 1 : 0,
       m_strPath.c_str());
  return true;
}

void File64::Unlock() {
  if (!m_handle || !m_bLocked) return;
  flock(m_handle->fd, LOCK_UN);
  m_bLocked = false;
}

bool File64::Close() {
  bool ok = FlushPending();
  m_bLocked = false;
  if (!m_handle) return ok && !m_bError;
  if (m_handle.use_count() == 1) {
    int fd = m_handle->fd;
    m_handle->fd = -1;
    if (::close(fd) != 0 && errno != EINTR) {
      SetError(errno);
      xLog(LOG_ERROR, "File64: close failed [%s]: %s\n", m_strPath.c_str(), strerror(m_nErrorCause));
    }
  }
  m_handle.reset();
  return ok && !m_bError;
}

bool File64::Detach() {
  bool ok = FlushPending();
  if (m_handle && m_handle.use_count() == 1) m_handle->fd = -1;  // forget, never close
  m_handle.reset();
  m_bLocked = false;
  return ok;
}

int64_t File64::FileSize(const char* path) {
  struct stat st;
  if (!path || stat(path, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool File64::PathExists(const char* path) {
  struct stat st;
  return path && stat(path, &st) == 0;
}

int64_t File64::DriveFreeSize(const char* path) {
  struct statvfs sv;
  if (!path || statvfs(path, &sv) != 0) return -1;
  return static_cast<int64_t>(sv.f_bavail) * static_cast<int64_t>(sv.f_frsize);
}
