#include "TempOutput.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "Interrupt.h"

namespace quillery_host {

TempOutput::TempOutput(const std::string& target) : m_target(target) {
  const size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  const size_t dot = name.rfind('.');
  const std::string ext = dot == std::string::npos ? std::string() : name.substr(dot);
  m_temp = dir + "." + name + ".tmp-" + std::to_string(static_cast<long>(getpid())) + ext;
  unlink(m_temp.c_str());  // a leftover of an earlier process with this pid
  SetPendingOutput(m_temp);
}

TempOutput::~TempOutput() {
  if (!m_done) {
    unlink(m_temp.c_str());
    // A database save that stopped part-way may leave its journal beside it.
    unlink((m_temp + "-journal").c_str());
  }
  SetPendingOutput(std::string());
}

int TempOutput::Commit() {
  m_done = true;
  SetPendingOutput(std::string());
  // The SQLite formats write a new database without syncing it: the bytes
  // must be on the disk before the name points at them.
  const int fd = open(m_temp.c_str(), O_RDONLY);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
  if (rename(m_temp.c_str(), m_target.c_str()) == 0) return 0;
  const int err = errno;
  unlink(m_temp.c_str());
  return err;
}

}  // namespace quillery_host
