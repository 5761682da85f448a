#pragma once

#include <string>

#include "io/IOLayerBase.h"

// IOLayerString: an in-memory end of a chain. Write mode appends everything it gets to
// its buffer, which the owner reads with GetBuffer() (HTML into a string). Read mode
// hands out the buffer's bytes from a read position, at most len - 1 per call with a
// zero byte after them; consumed text is dropped once it is both above 200,000 bytes
// and more than half the buffer, so reading a large buffer stays linear.
//
// Ownership: the buffer lives as long as the stage.
class IOLayerString : public IOLayerBase {
 public:
  IOLayerString();
  ~IOLayerString() override;

  char* GetOutBuffer() override { return nullptr; }
  int Process(char* data, int len) override;
  int Finalize() override;

  std::string& GetBuffer() { return m_strBuffer; }
  const std::string& GetBuffer() const { return m_strBuffer; }

 private:
  std::string m_strBuffer;
  size_t m_nReadPos;
};
