#pragma once

// NoteNodeList: a document's notes in the order they were added, kept in
// blocks of kBlock notes side by side.
//
// A note is several hundred bytes, so a deque held one note per heap block:
// a document of 100,000 notes made as many allocations of that size, and
// freeing them fragmented the heap enough that closing a large document cost
// more per note than a small one. Blocks of notes also keep a walk in note
// order on neighbouring memory.
//
// Invariants: note i lives in m_blocks[i / kBlock] at i % kBlock; the notes
// 0 .. size()-1 are constructed, the rest of the last block is raw memory.
// A note never moves once added (notes are only ever added, or all cleared
// at once), so a reference to one stays valid until clear() or the list's
// end. The list owns its notes and blocks; it is neither copied nor moved.

#include <cstddef>
#include <iterator>
#include <type_traits>
#include <new>
#include <utility>
#include <vector>

#include "model/NoteNode.h"

class NoteNodeList {
 public:
  static constexpr size_t kBlock = 64;

  template <bool Const>
  class Iter {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = NoteNode;
    using difference_type = std::ptrdiff_t;
    using pointer = std::conditional_t<Const, const NoteNode*, NoteNode*>;
    using reference = std::conditional_t<Const, const NoteNode&, NoteNode&>;

    Iter(NoteNode* const* blocks, size_t i) : m_blocks(blocks), m_i(i) {}
    reference operator*() const { return m_blocks[m_i / kBlock][m_i % kBlock]; }
    pointer operator->() const { return &**this; }
    Iter& operator++() {
      ++m_i;
      return *this;
    }
    bool operator==(const Iter& o) const { return m_i == o.m_i; }
    bool operator!=(const Iter& o) const { return m_i != o.m_i; }

   private:
    NoteNode* const* m_blocks;
    size_t m_i;
  };
  using iterator = Iter<false>;
  using const_iterator = Iter<true>;

  NoteNodeList() = default;
  ~NoteNodeList() { clear(); }
  NoteNodeList(const NoteNodeList&) = delete;
  NoteNodeList& operator=(const NoteNodeList&) = delete;

  size_t size() const { return m_size; }
  bool empty() const { return m_size == 0; }
  NoteNode& operator[](size_t i) { return m_blocks[i / kBlock][i % kBlock]; }
  const NoteNode& operator[](size_t i) const { return m_blocks[i / kBlock][i % kBlock]; }
  NoteNode& back() { return (*this)[m_size - 1]; }
  const NoteNode& back() const { return (*this)[m_size - 1]; }

  // Cache hints for passes over many notes, which a large document makes
  // from memory: PrefetchTree asks for the lines holding note i's ID,
  // parent ID and sibling position; PrefetchTreeText for the characters of
  // its ID and parent ID, which live apart from the note when they are
  // long. The second reads the note, so it pays once the first has brought
  // the note in. i < size(). (No bounds check in here: GCC drops the hint
  // of a small guarded function it does not inline.)
  void PrefetchTree(size_t i) const {
    const NoteNode& note = (*this)[i];
    __builtin_prefetch(&note.m_strID);
    __builtin_prefetch(&note.m_nSibling);
  }
  void PrefetchTreeText(size_t i) const {
    const NoteNode& note = (*this)[i];
    __builtin_prefetch(note.m_strID.data());
    __builtin_prefetch(note.m_strParentID.data());
  }

  iterator begin() { return iterator(m_blocks.data(), 0); }
  iterator end() { return iterator(m_blocks.data(), m_size); }
  const_iterator begin() const { return const_iterator(m_blocks.data(), 0); }
  const_iterator end() const { return const_iterator(m_blocks.data(), m_size); }

  // The note is constructed in place before it counts, so a throwing copy
  // leaves the list as it was (the note may be one of the list's own: no
  // note moves when a block is added).
  void push_back(const NoteNode& note) {
    // The copy reads the whole note; asking for all its lines at once lets
    // the misses of a note that has left the caches overlap.
    PrefetchNote<false>(&note);
    Added(new (NextSlot()) NoteNode(note));
  }
  void push_back(NoteNode&& note) { Added(new (NextSlot()) NoteNode(std::move(note))); }
  NoteNode& emplace_back() { return Added(new (NextSlot()) NoteNode()); }

  void clear() {
    // A large document's notes are no longer in the caches when it closes,
    // and each destructor reads most of its note's lines, from the last
    // member back: asking for a note a few places ahead keeps that memory
    // coming instead of waiting for it note by note.
    //
    // Each block is given back as soon as its notes are gone: the allocator
    // then merges the notes' freed strings with it while they are still in
    // the caches, where freeing every block at the end made it walk all of
    // a large document's freed strings again from memory.
    constexpr size_t kAhead = 4;
    for (size_t i = 0; i < m_size; ++i) {
      if (i + kAhead < m_size) PrefetchNote<false>(&(*this)[i + kAhead]);
      (*this)[i].~NoteNode();
      if (i % kBlock == kBlock - 1) {
        ::operator delete(m_blocks[i / kBlock]);
        m_blocks[i / kBlock] = nullptr;
      }
    }
    for (NoteNode* block : m_blocks) ::operator delete(block);
    m_blocks.clear();
    m_size = 0;
  }

 private:
  // Asks for every cache line of the note (it need not start a line).
  template <bool ForWrite>
  static void PrefetchNote(const NoteNode* note) {
    const char* p = reinterpret_cast<const char*>(note);
    for (size_t off = 0; off < sizeof(NoteNode); off += 64) __builtin_prefetch(p + off, ForWrite);
    __builtin_prefetch(p + sizeof(NoteNode) - 1, ForWrite);
  }

  NoteNode* NextSlot() {
    if (m_size == m_blocks.size() * kBlock) {
      // Room first, so that a failed allocation leaves no block unowned.
      if (m_blocks.size() == m_blocks.capacity()) m_blocks.reserve(m_blocks.empty() ? 16 : m_blocks.size() * 2);
      m_blocks.push_back(static_cast<NoteNode*>(::operator new(kBlock * sizeof(NoteNode))));
    }
    NoteNode* slot = m_blocks[m_size / kBlock] + m_size % kBlock;
    // The slot two ahead is fetched for writing while this one is filled:
    // a bulk copy otherwise stalls on every line of every note it writes
    // into memory that has left the caches.
    constexpr size_t kAhead = 2;
    if (m_size % kBlock + kAhead < kBlock) PrefetchNote<true>(slot + kAhead);
    return slot;
  }
  NoteNode& Added(NoteNode* note) {
    ++m_size;
    return *note;
  }

  std::vector<NoteNode*> m_blocks;
  size_t m_size = 0;
};
