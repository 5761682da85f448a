#pragma once

// A hash map from (text, tag) to int, for the document's note maps (note ID,
// (parent ID, sibling position), child count per parent ID).
//
// Open addressing with linear probing in one flat array: a note ID (22
// characters) is kept inside its slot, so an insert allocates nothing and a
// lookup touches one slot instead of a bucket, a node and the key's own heap
// block, which is what made the node-based maps slow down as documents grew
// out of the processor caches. Keys longer than a slot holds live in a side
// list whose freed entries are reused.
//
// Invariants: the slot count is 0 or a power of two; at most 3/4 of the
// slots are used; every key sits in the probe run that starts at its home
// slot (erasing shifts later entries back instead of leaving markers). A
// reference from Get stays valid until the next insert of a new key, an
// erase, Reserve or Clear.

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class IdHashMap {
 public:
  // The value of the key, or null.
  const int* Find(std::string_view text, int tag = 0) const {
    if (m_count == 0) return nullptr;
    const uint64_t h = Hash(text, tag);
    for (size_t i = h & m_mask;; i = (i + 1) & m_mask) {
      const Slot& s = m_slots[i];
      if (s.len == kEmpty) return nullptr;
      if (Matches(s, h, text, tag)) return &s.value;
    }
  }
  int* Find(std::string_view text, int tag = 0) {
    return const_cast<int*>(static_cast<const IdHashMap*>(this)->Find(text, tag));
  }
  bool Contains(std::string_view text, int tag = 0) const { return Find(text, tag) != nullptr; }

  // The value of the key, inserted as 0 when absent.
  int& Get(std::string_view text, int tag = 0) { return Get(text, tag, Hash(text, tag)); }

  // For bulk inserts: the key's hash, and a hint to fetch its home slot
  // while other keys are being placed, so that the cache misses of many
  // inserts overlap. h must be Hash(text, tag) of the key Get is given.
  static uint64_t Hash(std::string_view text, int tag) {
    uint64_t h = std::hash<std::string_view>()(text) ^ (static_cast<uint64_t>(static_cast<uint32_t>(tag)) * 0x9E3779B97F4A7C15ull);
    // Final mix so that the low bits (the home slot) depend on every bit.
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    return h;
  }
  void Prefetch(uint64_t h) const {
    if (!m_slots.empty()) __builtin_prefetch(&m_slots[h & m_mask]);
  }
  int& Get(std::string_view text, int tag, uint64_t h) {
    if ((m_count + 1) * 4 > m_slots.size() * 3) Grow(m_slots.empty() ? 16 : m_slots.size() * 2);
    size_t i = h & m_mask;
    for (;; i = (i + 1) & m_mask) {
      Slot& s = m_slots[i];
      if (s.len == kEmpty) break;
      if (Matches(s, h, text, tag)) return s.value;
    }
    Slot& s = m_slots[i];
    s.hash = static_cast<uint32_t>(h >> 32);
    s.home = static_cast<uint32_t>(h);
    s.tag = tag;
    s.value = 0;
    if (text.size() <= kInline) {
      s.len = static_cast<uint8_t>(text.size());
      if (!text.empty()) memcpy(s.text, text.data(), text.size());
    } else {
      s.len = kLong;
      uint32_t slot;
      if (!m_freeLong.empty()) {
        slot = m_freeLong.back();
        m_freeLong.pop_back();
        m_long[slot].assign(text.data(), text.size());
      } else {
        slot = static_cast<uint32_t>(m_long.size());
        m_long.emplace_back(text);
      }
      memcpy(s.text, &slot, sizeof(slot));
    }
    ++m_count;
    return s.value;
  }

  // False when the key was absent.
  bool Erase(std::string_view text, int tag = 0) {
    if (m_count == 0) return false;
    const uint64_t h = Hash(text, tag);
    size_t i = h & m_mask;
    for (;; i = (i + 1) & m_mask) {
      const Slot& s = m_slots[i];
      if (s.len == kEmpty) return false;
      if (Matches(s, h, text, tag)) break;
    }
    if (m_slots[i].len == kLong) {
      const uint32_t slot = LongIndex(m_slots[i]);
      m_long[slot].clear();
      m_long[slot].shrink_to_fit();
      m_freeLong.push_back(slot);
    }
    // Backward shift: move each later entry of the run into the hole when
    // its home slot does not lie between the hole and itself.
    for (size_t j = (i + 1) & m_mask;; j = (j + 1) & m_mask) {
      Slot& s = m_slots[j];
      if (s.len == kEmpty) break;
      const size_t home = s.home & m_mask;
      if (((j - home) & m_mask) >= ((j - i) & m_mask)) {
        m_slots[i] = s;
        i = j;
      }
    }
    m_slots[i].len = kEmpty;
    --m_count;
    return true;
  }

  void Clear() {
    m_slots.clear();
    m_slots.shrink_to_fit();
    m_long.clear();
    m_freeLong.clear();
    m_count = 0;
    m_mask = 0;
  }

  // Room for count keys without growing.
  void Reserve(size_t count) {
    size_t cap = 16;
    while (cap * 3 < count * 4) cap *= 2;
    if (cap > m_slots.size()) Grow(cap);
  }

  size_t Size() const { return m_count; }

 private:
  static constexpr size_t kInline = 23;
  static constexpr uint8_t kLong = 254;
  static constexpr uint8_t kEmpty = 255;

  struct Slot {
    uint32_t hash = 0;   // high half of the 64-bit hash
    uint32_t home = 0;   // low half: the home slot under any mask
    int tag = 0;
    int value = 0;
    uint8_t len = kEmpty;  // text length, kLong (text in m_long) or kEmpty
    char text[kInline];    // the text, or the m_long index for kLong
  };

  static uint32_t LongIndex(const Slot& s) {
    uint32_t slot;
    memcpy(&slot, s.text, sizeof(slot));
    return slot;
  }
  bool Matches(const Slot& s, uint64_t h, std::string_view text, int tag) const {
    if (s.hash != static_cast<uint32_t>(h >> 32) || s.home != static_cast<uint32_t>(h) || s.tag != tag) return false;
    if (s.len == kLong) return text.size() > kInline && m_long[LongIndex(s)] == text;
    return s.len == text.size() && memcmp(s.text, text.data(), text.size()) == 0;
  }
  void Grow(size_t cap) {
    std::vector<Slot> old;
    old.swap(m_slots);
    m_slots.assign(cap, Slot());
    m_mask = cap - 1;
    for (const Slot& s : old) {
      if (s.len == kEmpty) continue;
      size_t i = s.home & m_mask;
      while (m_slots[i].len != kEmpty) i = (i + 1) & m_mask;
      m_slots[i] = s;
    }
  }

  std::vector<Slot> m_slots;
  std::vector<std::string> m_long;
  std::vector<uint32_t> m_freeLong;
  size_t m_count = 0;
  size_t m_mask = 0;
};
