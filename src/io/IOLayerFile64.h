#pragma once

#include "base/File64.h"
#include "io/IOLayerBase.h"

// IOLayerFile64: the file end of a chain. In read mode it is the first stage: it reads
// from its file into the caller's buffer and passes the bytes on in that same buffer.
// In write mode it is the last stage and writes what it receives.
//
// The format opens and positions the file through GetFile() before the first use (and
// reads a container header from it directly). A failed read or write marks the stage
// failed; Finalize writes out the file's buffer and reports a failure there too.
//
// Ownership: the File64 is held by value and closed when the stage is destroyed,
// unless the format has taken it over (File64 copy, then Detach on the stage's file).
class IOLayerFile64 : public IOLayerBase {
 public:
  IOLayerFile64();
  ~IOLayerFile64() override;

  char* GetOutBuffer() override { return nullptr; }
  int Process(char* data, int len) override;
  int Finalize() override;

  File64& GetFile() { return m_file; }
  // Read mode: reading stops at this file position; -1 (or 0) = no limit.
  void SetReadLimit(int64_t pos) { m_nReadLimit = pos; }
  int64_t GetReadLimit() const { return m_nReadLimit; }

 private:
  File64 m_file;
  int64_t m_nReadLimit;
};
