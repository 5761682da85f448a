#pragma once

// Navigation over a document's tree by parent ID and sibling position. Holds
// a reference to the document, which must outlive it; keeps no state of its
// own, so it sees every change of the document at once.

#include <string>

class NoteDocument;

class DocumentIterator {
 public:
  explicit DocumentIterator(NoteDocument& doc) : m_doc(doc) {}

  NoteDocument& GetDocument() const { return m_doc; }
  // Depth of a note, 0 = top level (O(depth)); -1 for an invalid index.
  int CalcNodeLevel(int idx) const;
  // Children of the note with that ID (empty ID = top level), from the
  // child-count map.
  int GetChildCount(const std::string& id) const;
  // Children of the note at idx, from the document's tree by index when it
  // is current (no hashing), else as GetChildCount of its ID.
  int GetChildCountByIdx(int idx) const;
  // Notes whose parent is parentID, counted in the note list; recursive
  // also counts their descendants.
  int CalcChildCount(const std::string& parentID, bool recursive) const;
  // ID of the child at that position; empty when none.
  std::string GetChildID(const std::string& parentID, int sibling) const;
  // Note index to depth-first position and back; -1 when unknown.
  int NodeIdx2RecursiveIdx(int idx) const;
  int RecursiveIdx2NodeIdx(int recursiveIdx) const;

 private:
  NoteDocument& m_doc;
};
