#pragma once

// Key of the (parent ID, sibling position) -> note index map, and the string
// hash behind it.

#include <cstdint>
#include <string>

class PidSibKey {
 public:
  PidSibKey() = default;
  PidSibKey(const std::string& parentID, int sibling) : strPID(parentID), nSibling(sibling) {}

  bool operator==(const PidSibKey& o) const { return nSibling == o.nSibling && strPID == o.strPID; }

  // h = h * 53 + byte for every byte, starting from seed.
  static uint64_t HashString(const std::string& text, uint64_t seed);

  struct Hasher {
    size_t operator()(const PidSibKey& k) const {
      return static_cast<size_t>(HashString(k.strPID, static_cast<uint64_t>(k.nSibling) + 1));
    }
  };

  std::string strPID;
  int nSibling = 0;
};

inline uint64_t PidSibKey::HashString(const std::string& text, uint64_t seed) {
  uint64_t h = seed;
  for (unsigned char c : text) h = h * 53 + c;
  return h;
}
