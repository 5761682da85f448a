#pragma once

// One attachment of a note: a plain copyable record.

#include <cstdint>
#include <string>

class AttInfo {
 public:
  std::string strName;
  std::string strData;      // the attachment's bytes (may be absent when only its info was fetched)
  int64_t nReserved = 0;    // 8-byte field kept for stored layouts
  int nDataSize = 0;        // size in bytes
  std::string strHash;      // 40 lower-case hex digits of the data's SHA-1, empty = not computed
  std::string strCode;      // 22-character code, the attachment's identity across copies
  std::string strTarget;
};
