#pragma once

// A walk over a document: the notes a writer writes, in their order. The
// tree walks are depth-first with siblings in sibling order (ties by note
// index); List gives the listed notes in the given order.
//
// The order is computed when the walker is made and again on Restart, in
// O(n log n); GetNextNode is O(1). The document must outlive the walker and
// should not change its tree during a walk (Restart picks changes up).

#include <string>
#include <unordered_set>
#include <vector>

class NoteDocument;

enum TreeWalkType {
  WALK_ALL = 1,          // every note
  WALK_BRANCH = 2,       // the start note and its descendants
  WALK_NODE = 3,         // the start note only
  WALK_MARKED = 4,       // notes whose marked flag is set
  WALK_CHILDREN = 5,     // the start note's children
  WALK_DESCENDANTS = 6,  // the start note's descendants
  WALK_LIST = 7,         // the given IDs, in the given order
};

class RecursiveTreeWalker {
 public:
  // type is one of the tree walks; startIdx names the start note of Branch,
  // Node, Children and Descendants (ignored for All and Marked).
  explicit RecursiveTreeWalker(NoteDocument& doc, int type = WALK_ALL, int startIdx = -1);
  // A List walk over the notes with these IDs (absent IDs are skipped).
  RecursiveTreeWalker(NoteDocument& doc, const std::vector<std::string>& ids);

  NoteDocument& GetDocument() const { return m_doc; }
  int GetType() const { return m_nType; }
  // The next note index; -1 at the end.
  int GetNextNode();
  // Starts the walk again (recomputing its order).
  void Restart();
  // Number of notes the walk gives.
  int GetTotalNoteCount() const { return static_cast<int>(m_order.size()); }
  int GetStartIdx() const { return m_nStartIdx; }
  // Absolute depth of the start note (Branch, Node, Children,
  // Descendants); 0 for All, Marked and List.
  int GetStartIdxDepth() const { return m_nStartDepth; }
  // Depth below the start: the note's depth minus GetStartIdxDepth, so 0
  // for the top notes of All, Branch and Node, and 1 for the top notes of
  // Children and Descendants (whose start note is not walked); always 0
  // for List.
  int CalcRelativeDepth(int idx) const;
  // Whether the note with that ID is part of the walk; false (and a level-3
  // log line) for an absent ID.
  bool IsNoteWithinWalk(const std::string& id) const;

 private:
  void Build();
  bool IsAncestorOrSelf(int ancestorIdx, int idx) const;

  NoteDocument& m_doc;
  int m_nType;
  int m_nStartIdx;
  int m_nStartDepth = 0;
  std::vector<std::string> m_lstIDs;
  std::vector<int> m_order;
  // Depth of each walked note as the walk found it (-1: not walked), so that
  // a writer asking every note's depth touches no note.
  std::vector<int> m_depth;
  std::unordered_set<int> m_setInWalk;  // List and Marked membership
  size_t m_nPos = 0;
};
