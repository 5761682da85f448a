// NoteDocument: clone relations, selection, tags, pictures and note paths.

#include <algorithm>

#include "base/Log.h"
#include "model/FormatIO_Base.h"
#include "model/NoteDocument.h"
#include "model/FormatIO_DynamicBase.h"

// ---------------------------------------------------------------------------
// Clones

void NoteDocument::RegisterCloneRelation(const std::string& cloneID, const std::string& originalID) {
  if (cloneID.empty() || originalID.empty()) return;
  m_mapClones[originalID].insert(cloneID);
}

bool NoteDocument::UnregisterCloneRelation(const std::string& cloneID, const std::string& originalID) {
  auto it = m_mapClones.find(originalID);
  if (it == m_mapClones.end()) return false;
  const bool removed = it->second.erase(cloneID) > 0;
  if (it->second.empty()) m_mapClones.erase(it);
  return removed;
}

void NoteDocument::UnregisterAllCloneRelation(const std::string& noteID) {
  // As an original: every clone of it.
  m_mapClones.erase(noteID);
  // As a clone: its entry under its original.
  const int idx = GetIdxFromID(noteID);
  if (idx >= 0 && m_lstNodes[idx].IsClone()) {
    UnregisterCloneRelation(noteID, m_lstNodes[idx].m_strCloneOf);
    return;
  }
  // The note is not (or no longer) in the list: search the sets.
  for (auto it = m_mapClones.begin(); it != m_mapClones.end();) {
    it->second.erase(noteID);
    if (it->second.empty()) it = m_mapClones.erase(it);
    else ++it;
  }
}

void NoteDocument::RefreshCloneMaps() {
  m_mapClones.clear();
  for (const NoteNode& n : m_lstNodes) {
    if (!n.IsClone()) continue;
    if (GetIdxFromID(n.m_strCloneOf) < 0) {
      xLog(LOG_WARNING, "Clone note [%s] refers to a missing original [%s]\n", n.m_strID.c_str(),
           n.m_strCloneOf.c_str());
      continue;
    }
    m_mapClones[n.m_strCloneOf].insert(n.m_strID);
  }
}

bool NoteDocument::RemapCloneRelation(const std::string& noteID, const std::map<std::string, std::string>& idMap) {
  auto it = m_mapClones.find(noteID);
  if (it == m_mapClones.end() || idMap.empty()) return false;
  std::set<std::string> renamed;
  bool changed = false;
  for (const std::string& id : it->second) {
    auto m = idMap.find(id);
    if (m != idMap.end() && m->second != id) {
      renamed.insert(m->second);
      changed = true;
    } else {
      renamed.insert(id);
    }
  }
  if (changed) it->second.swap(renamed);
  return changed;
}

const std::set<std::string>& NoteDocument::GetClones(const std::string& originalID) const {
  static const std::set<std::string> kNone;
  auto it = m_mapClones.find(originalID);
  return it == m_mapClones.end() ? kNone : it->second;
}

NoteNode& NoteDocument::GetOriginalByIdx(int idx, int* outIdx) {
  NoteNode& n = m_lstNodes[idx];
  int result = idx;
  if (n.IsClone()) {
    const int orig = GetIdxFromID(n.m_strCloneOf);
    if (orig >= 0) result = orig;
    else
      xLog(LOG_WARNING, "Original note [%s] of clone [%s] not found\n", n.m_strCloneOf.c_str(), n.m_strID.c_str());
  }
  if (outIdx) *outIdx = result;
  return m_lstNodes[result];
}

// ---------------------------------------------------------------------------
// Selection

NoteNode& NoteDocument::OnNoteSelected(int idx, unsigned int mask, bool resolveClones) {
  int target = idx;
  if (resolveClones) GetOriginalByIdx(idx, &target);
  NoteNode& n = m_lstNodes[target];
  m_nCurrentNoteIdx = idx;
  if (FormatIO_DynamicBase* dyn = GetDynamicLoader()) {
    dyn->FetchNodeInfo(n, mask);
    n.FixFormatting(dyn);
  }
  return n;
}

void NoteDocument::OnNoteDeselected(int idx, bool checkOriginal) {
  FormatIO_DynamicBase* dyn = GetDynamicLoader();
  if (!dyn || idx < 0 || idx >= GetNodeCount()) return;
  if (idx == m_nCurrentNoteIdx) return;
  int original = idx;
  if (checkOriginal) {
    GetOriginalByIdx(idx, &original);
    if (original == m_nCurrentNoteIdx) return;
    // The selected note may itself be a clone of the same original.
    if (m_nCurrentNoteIdx >= 0 && m_nCurrentNoteIdx < GetNodeCount()) {
      int selOrig = m_nCurrentNoteIdx;
      if (m_lstNodes[m_nCurrentNoteIdx].IsClone()) selOrig = GetIdxFromID(m_lstNodes[m_nCurrentNoteIdx].m_strCloneOf);
      if (selOrig == original) return;
    }
    if (original != idx) m_lstNodes[original].Clear(true);
  }
  m_lstNodes[idx].Clear(true);
}

// ---------------------------------------------------------------------------
// Tags, pictures, paths

void NoteDocument::UpdateNodeKeywordsMap(const NoteNode& note, std::map<std::string, int>& counts, bool add,
                                         bool report) {
  const std::string& tags = note.GetKeywords();
  size_t pos = 0;
  while (pos < tags.size()) {
    size_t end = tags.find(';', pos);
    if (end == std::string::npos) end = tags.size();
    if (end > pos) {
      const std::string tag = tags.substr(pos, end - pos);
      if (add) {
        ++counts[tag];
      } else {
        auto it = counts.find(tag);
        if (it != counts.end() && --it->second <= 0) {
          counts.erase(it);
          if (report)
            if (FormatIO_DynamicBase* dyn = GetDynamicLoader()) dyn->OnRemoveTag(tag);
        }
      }
    }
    pos = end + 1;
  }
}

bool NoteDocument::AddNotePicture(NoteNode& note, int offset, const std::string& name, const std::string& bytes,
                                  bool png, int width, int height) {
  if (bytes.empty() || offset < 0) return false;
  PictureList& pics = note.m_objText.m_lstPictures;
  // Readers add pictures in text order, so a clash shows at the last one;
  // checking only there keeps loading a picture-heavy note linear. Other
  // clashes are dropped by NoteNode::FixFormatting after the load.
  if (!pics.IsEmpty() && pics[pics.GetSize() - 1].nOffset == offset) {
    xLog(LOG_WARNING, "Picture [%s] not added: offset %d is taken\n", name.c_str(), offset);
    return false;
  }
  PixInfo pix;
  pix.nOffset = offset;
  pix.strName = name;
  pix.bPNG = png;
  if (width > 0) {
    // Scaled: the stored bytes no longer describe the image, so only the
    // scaled image is kept and encoded when needed.
    GdkPixbuf* scaled = PixInfo::LoadFromBuffer(bytes.data(), bytes.size(), width, height);
    if (!scaled) return false;
    pix.SetPixbufOwned(scaled);
  } else {
    pix.strEncoded = bytes;
  }
  pics.Push(pix);
  if (FormatIO_DynamicBase* dyn = GetDynamicLoader()) {
    PixInfo& added = pics.GetAt(pics.GetSize() - 1);
    if (!added.strEncoded.empty()) dyn->OnNodePixAdded(note, added, added.strEncoded);
    else dyn->OnNodePixAdded(note, added);
  }
  return true;
}

bool NoteDocument::CalcNodePath(int idx, std::string& out, int stopIdx) const {
  out.clear();
  if (idx < 0 || idx >= GetNodeCount()) return false;
  std::vector<int> numbers;
  int cur = idx;
  // The depth is bounded by the note count, which also stops a parent cycle
  // in corrupt input.
  for (int guard = 0; cur >= 0 && cur != stopIdx && guard <= GetNodeCount(); ++guard) {
    numbers.push_back(m_lstNodes[cur].m_nSibling + 1);
    cur = GetIdxFromID(m_lstNodes[cur].m_strParentID);
  }
  for (auto it = numbers.rbegin(); it != numbers.rend(); ++it) {
    out += std::to_string(*it);
    out += '.';
  }
  return true;
}
