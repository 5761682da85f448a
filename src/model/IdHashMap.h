#pragma once

// A hash map from (text, tag) to int, for the document's note maps (note ID,
// (parent ID, sibling position), child count per parent ID).
//
// Two flat arrays: the entries (key and value; a note ID of 22 characters is
// kept inside its entry, so an insert allocates nothing) and an
// open-addressing index of 8-byte slots (the low half of the key's hash and
// the entry's number) probed linearly. A slot is a fifth of an entry, so the
// index of a large document stays in the processor caches where a table of
// whole entries did not; the entries are appended in insertion order, so a
// bulk insert writes them sequentially, and a probe only reads an entry whose
// hash half matches. Keys longer than an entry holds live in a side list.
// Erased entries and side-list strings are kept on free lists for reuse.
//
// Invariants: the slot count is 0 or a power of two; at most 3/4 of the
// slots are used; every key sits in the probe run that starts at its home
// slot (erasing shifts later slots back instead of leaving markers); a used
// slot names a live entry and every live entry has exactly one slot. A
// reference from Get stays valid until the next insert of a new key, Reserve
// or Clear.

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
    const uint32_t lo = static_cast<uint32_t>(h);
    for (size_t i = lo & m_mask;; i = (i + 1) & m_mask) {
      const Slot& s = m_slots[i];
      if (s.entry == kNoEntry) return nullptr;
      if (s.lo == lo) {
        const Entry& e = m_entries[s.entry];
        if (Matches(e, h, text, tag)) return &e.value;
      }
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
  static uint64_t Hash(std::string_view text, int tag) { return HashWithTag(TextHash(text), tag); }
  // Hash(text, tag) in two steps, so that keys sharing a text (a parent's
  // sibling positions) hash the text once.
  static uint64_t TextHash(std::string_view text) { return std::hash<std::string_view>()(text); }
  static uint64_t HashWithTag(uint64_t textHash, int tag) {
    uint64_t h = textHash ^ (static_cast<uint64_t>(static_cast<uint32_t>(tag)) * 0x9E3779B97F4A7C15ull);
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
    const uint32_t lo = static_cast<uint32_t>(h);
    size_t i = lo & m_mask;
    for (;; i = (i + 1) & m_mask) {
      const Slot& s = m_slots[i];
      if (s.entry == kNoEntry) break;
      if (s.lo == lo) {
        Entry& e = m_entries[s.entry];
        if (Matches(e, h, text, tag)) return e.value;
      }
    }
    // Free-list items are taken off only once nothing can fail any more: a
    // failed allocation leaves the keys and values as they were.
    const bool reuseEntry = !m_freeEntries.empty();
    const uint32_t number = reuseEntry ? m_freeEntries.back() : static_cast<uint32_t>(m_entries.size());
    if (!reuseEntry) m_entries.emplace_back();
    Entry& e = m_entries[number];
    e.hi = static_cast<uint32_t>(h >> 32);
    e.tag = tag;
    e.value = 0;
    if (text.size() <= kInline) {
      e.len = static_cast<uint8_t>(text.size());
      if (!text.empty()) memcpy(e.text, text.data(), text.size());
    } else {
      e.len = kLong;
      const bool reuseLong = !m_freeLong.empty();
      const uint32_t slot = reuseLong ? m_freeLong.back() : static_cast<uint32_t>(m_long.size());
      if (reuseLong) {
        m_long[slot].assign(text.data(), text.size());
        m_freeLong.pop_back();
      } else {
        m_long.emplace_back(text);
      }
      memcpy(e.text, &slot, sizeof(slot));
    }
    if (reuseEntry) m_freeEntries.pop_back();
    m_slots[i] = Slot{lo, number};
    ++m_count;
    return e.value;
  }

  // False when the key was absent.
  bool Erase(std::string_view text, int tag = 0) {
    if (m_count == 0) return false;
    const uint64_t h = Hash(text, tag);
    const uint32_t lo = static_cast<uint32_t>(h);
    size_t i = lo & m_mask;
    for (;; i = (i + 1) & m_mask) {
      const Slot& s = m_slots[i];
      if (s.entry == kNoEntry) return false;
      if (s.lo == lo && Matches(m_entries[s.entry], h, text, tag)) break;
    }
    // The free lists grow first: a failed allocation leaves the keys and
    // values as they were.
    const uint32_t number = m_slots[i].entry;
    Entry& e = m_entries[number];
    if (e.len == kLong) {
      const uint32_t slot = LongIndex(e);
      m_freeLong.push_back(slot);
      try {
        m_freeEntries.push_back(number);
      } catch (...) {
        m_freeLong.pop_back();
        throw;
      }
      m_long[slot].clear();
      m_long[slot].shrink_to_fit();
    } else {
      m_freeEntries.push_back(number);
    }
    e.len = kFree;
    // Backward shift: move each later slot of the run into the hole when
    // its home slot does not lie between the hole and itself.
    for (size_t j = (i + 1) & m_mask;; j = (j + 1) & m_mask) {
      const Slot& s = m_slots[j];
      if (s.entry == kNoEntry) break;
      const size_t home = s.lo & m_mask;
      if (((j - home) & m_mask) >= ((j - i) & m_mask)) {
        m_slots[i] = s;
        i = j;
      }
    }
    m_slots[i].entry = kNoEntry;
    --m_count;
    return true;
  }

  void Clear() {
    m_slots.clear();
    m_slots.shrink_to_fit();
    m_entries.clear();
    m_entries.shrink_to_fit();
    m_freeEntries.clear();
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
    if (count > m_entries.size()) m_entries.reserve(count);
  }

  size_t Size() const { return m_count; }

 private:
  static constexpr size_t kInline = 23;
  static constexpr uint8_t kLong = 254;
  static constexpr uint8_t kFree = 255;
  static constexpr uint32_t kNoEntry = UINT32_MAX;

  struct Slot {
    uint32_t lo;     // low half of the hash: the home slot under any mask
    uint32_t entry;  // index into m_entries, kNoEntry when the slot is free
  };
  struct Entry {
    uint32_t hi;           // high half of the hash
    int tag;
    int value;
    uint8_t len;           // text length, kLong (text in m_long) or kFree
    char text[kInline];    // the text, or the m_long index for kLong
  };

  static uint32_t LongIndex(const Entry& e) {
    uint32_t slot;
    memcpy(&slot, e.text, sizeof(slot));
    return slot;
  }
  bool Matches(const Entry& e, uint64_t h, std::string_view text, int tag) const {
    if (e.hi != static_cast<uint32_t>(h >> 32) || e.tag != tag) return false;
    if (e.len == kLong) return text.size() > kInline && m_long[LongIndex(e)] == text;
    return e.len == text.size() && memcmp(e.text, text.data(), text.size()) == 0;
  }
  // The new index is filled before it replaces the old one, so that a failed
  // allocation leaves the map as it was.
  void Grow(size_t cap) {
    std::vector<Slot> grown(cap, Slot{0, kNoEntry});
    const size_t mask = cap - 1;
    for (const Slot& s : m_slots) {
      if (s.entry == kNoEntry) continue;
      size_t i = s.lo & mask;
      while (grown[i].entry != kNoEntry) i = (i + 1) & mask;
      grown[i] = s;
    }
    m_slots.swap(grown);
    m_mask = mask;
  }

  std::vector<Slot> m_slots;
  std::vector<Entry> m_entries;
  std::vector<uint32_t> m_freeEntries;
  std::vector<std::string> m_long;
  std::vector<uint32_t> m_freeLong;
  size_t m_count = 0;
  size_t m_mask = 0;
};
