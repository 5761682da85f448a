#pragma once

// The tests' one way to put a note into a document: inserted through the
// document (maps kept, a dynamic loader told) as the last child of parentID
// ("" = top level), under the ID given (none: the one the document made),
// with a title and plain text. Header-only so that every test program can
// use it.

#include <string>

#include "model/NoteDocument.h"
#include "model/NoteNode.h"

namespace quillery_test {

inline NoteNode& AddNote(NoteDocument& doc, const std::string& parentID, const std::string& id,
                         const std::string& title, const std::string& text = std::string()) {
  const int idx = doc.NodeInsert(parentID, -1);
  if (!id.empty()) doc.NodeInitID(idx, id);
  NoteNode& n = doc.GetNodeByIdx(idx);
  n.SetTitle(title);
  n.m_objText.SetText(text);
  return n;
}

}  // namespace quillery_test
