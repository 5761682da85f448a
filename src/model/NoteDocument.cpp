#include "model/NoteDocument.h"

#include <glib.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "base/Log.h"
#include "model/FormatIO_Base.h"
#include "model/FormatIO_DynamicBase.h"

namespace {

GuiControllerBase& DefaultController() {
  static GuiControllerBase controller;
  return controller;
}

const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Base64 of 16 bytes without padding: 22 characters.
std::string EncodeId(const unsigned char* b) {
  std::string out;
  out.reserve(22);
  for (int i = 0; i < 16; i += 3) {
    const unsigned v = (b[i] << 16) | ((i + 1 < 16 ? b[i + 1] : 0) << 8) | (i + 2 < 16 ? b[i + 2] : 0);
    out.push_back(kB64[(v >> 18) & 63]);
    out.push_back(kB64[(v >> 12) & 63]);
    if (i + 1 < 16) out.push_back(kB64[(v >> 6) & 63]);
    if (i + 2 < 16) out.push_back(kB64[v & 63]);
  }
  return out;
}

}  // namespace

NoteDocument::NoteDocument() : m_pGuiController(&DefaultController()) {}

NoteDocument::~NoteDocument() {
  delete m_pLoader;
  m_pLoader = nullptr;
}

void NoteDocument::SetGuiController(GuiControllerBase* controller) {
  m_pGuiController = controller ? controller : &DefaultController();
}

void NoteDocument::SetModified(bool modified) {
  m_bModified = modified;
  if (modified) ++m_nModifications;
}

bool NoteDocument::IsEncrypted() const {
  if (!m_pLoader) return false;
  const int f = m_pLoader->GetFormat();
  return f == FORMAT_QYE || f == FORMAT_QYDE;
}

FormatIO_DynamicBase* NoteDocument::GetDynamicLoader() const {
  if (!m_pLoader || !m_pLoader->IsDynamic()) return nullptr;
  return dynamic_cast<FormatIO_DynamicBase*>(m_pLoader);
}

void NoteDocument::ClearContents() {
  m_lstNodes.clear();
  m_mapIdToIdx.Clear();
  m_mapPidSibToIdx.Clear();
  m_mapChildCount.Clear();
  m_tree = TreeIndex();
  m_bRecursiveMapDirty = true;
  m_bBlockMapRecalc = false;
  m_nNodeCounter = 0;
  m_mapClones.clear();
  m_lstBookmarks.Clear();
  m_mapDeletedNotes.clear();
  m_mapDeletedAttachments.clear();
  m_mapTagUseCount.clear();
  m_mapCustomPropNameCount.clear();
  m_lstCustomProperties.clear();
  m_mapAnchors.clear();
  m_mapCloneConversion.clear();
  m_mapIDSubstitution.clear();
  m_lstCustomIcons.Clear();
  m_nCustomIconCounter = 0;
  m_mapNoteIcon.clear();
  m_nLastNoteIdx = -1;
  m_nCurrentNoteIdx = -1;
  m_nStartNoteIdx = -1;
  m_nPropModifiedTime = 0;
}

void NoteDocument::Close() {
  // The loader goes first: a database format rolls back what was not saved.
  delete m_pLoader;
  m_pLoader = nullptr;
  ClearContents();
  m_strPath.clear();
  m_strTitle.clear();
  m_strAuthor.clear();
  m_strUID.clear();
  m_strPassword.clear();
  m_bReadOnly = false;
  m_bModified = false;
  m_nModifications = 0;
  m_nCloneMode = 0;
  m_nCloneConversionAnswer = 0;
}

void NoteDocument::ReserveNotesMemory(int /*count*/) {
  // The note list grows a block at a time and never moves a note: it needs
  // no reservation, and a count read from a file cannot make it allocate
  // anything up front.
}

// ---------------------------------------------------------------------------
// Tree maps

void NoteDocument::AddToMaps(int idx) {
  const NoteNode& n = m_lstNodes[idx];
  if (!n.m_strID.empty()) m_mapIdToIdx.Get(n.m_strID) = idx;
  m_mapPidSibToIdx.Get(n.m_strParentID, n.m_nSibling) = idx;
}

int NoteDocument::NodeInsert(const std::string& parentID, int sibling, bool updateMaps, bool notifyLoader,
                             bool newID) {
  // One lookup of the parent's count serves both the position and the upkeep.
  // It stays valid: nothing below inserts into or erases from the count map.
  int& children = m_mapChildCount.Get(parentID);
  const int count = children;
  if (sibling < 0 || sibling > count) sibling = count;
  // Later siblings move up by one, from the last down, so that no key is
  // overwritten while it is still needed.
  if (sibling < count) {
    for (int s = count - 1; s >= sibling; --s) {
      const int* found = m_mapPidSibToIdx.Find(parentID, s);
      if (!found) continue;
      const int idx = *found;
      m_mapPidSibToIdx.Erase(parentID, s);
      m_lstNodes[idx].m_nSibling = s + 1;
      m_mapPidSibToIdx.Get(parentID, s + 1) = idx;
    }
  }
  NoteNode note;
  if (newID) GenerateUniqueNodeID(note.m_strID);
  note.m_strParentID = parentID;
  note.m_nSibling = sibling;
  m_lstNodes.push_back(std::move(note));
  const int idx = GetNodeCount() - 1;
  ++m_nNodeCounter;
  ++children;
  if (updateMaps) AddToMaps(idx);
  m_bRecursiveMapDirty = true;

  if (notifyLoader) {
    if (FormatIO_DynamicBase* dyn = GetDynamicLoader()) {
      NoteNode& n = m_lstNodes[idx];
      dyn->OnNodeInsert(n, true);
      dyn->OnNodeUpdate(n, NIF_TEXT | NIF_PROPERTIES, false, nullptr);
    }
  }
  return idx;
}

void NoteDocument::NodeInitID(int idx, const std::string& id) {
  if (idx < 0 || idx >= GetNodeCount()) return;
  NoteNode& n = m_lstNodes[idx];
  const std::string oldID = n.m_strID;
  if (oldID == id) return;
  const int* found = m_mapIdToIdx.Find(oldID);
  if (found && *found == idx) m_mapIdToIdx.Erase(oldID);
  n.m_strID = id;
  if (!id.empty()) m_mapIdToIdx.Get(id) = idx;

  // The note's children follow it: their parent ID, their (parent, sibling)
  // keys and the child count move to the new ID.
  const int* cc = m_mapChildCount.Find(oldID);
  if (cc && !oldID.empty()) {
    const int children = *cc;
    m_mapChildCount.Erase(oldID);
    m_mapChildCount.Get(id) += children;
    for (int s = 0; s < children; ++s) {
      const int* ps = m_mapPidSibToIdx.Find(oldID, s);
      if (!ps) continue;
      const int child = *ps;
      m_mapPidSibToIdx.Erase(oldID, s);
      m_lstNodes[child].m_strParentID = id;
      m_mapPidSibToIdx.Get(id, s) = child;
    }
  }
  if (FormatIO_DynamicBase* dyn = GetDynamicLoader()) dyn->ModifyNoteID(oldID, id);
}

void NoteDocument::PushNode(const NoteNode& note) {
  m_lstNodes.push_back(note);
  ++m_mapChildCount.Get(note.m_strParentID);
  ++m_nNodeCounter;
  m_bRecursiveMapDirty = true;
}

void NoteDocument::PushNode(NoteNode&& note) {
  m_lstNodes.push_back(std::move(note));
  ++m_mapChildCount.Get(m_lstNodes.back().m_strParentID);
  ++m_nNodeCounter;
  m_bRecursiveMapDirty = true;
}

void NoteDocument::RebuildMap() {
  m_nNodeCounter = GetNodeCount();
  m_mapIdToIdx.Clear();
  m_mapPidSibToIdx.Clear();
  m_mapChildCount.Clear();
  m_mapIdToIdx.Reserve(m_lstNodes.size());
  m_mapPidSibToIdx.Reserve(m_lstNodes.size());
  // In batches: the hashes of a batch are computed and their slots fetched
  // first, so that the cache misses of a large document's inserts overlap
  // instead of following one another. The entries go in in note order, so
  // a later note still wins over an earlier one with the same key.
  //
  // Siblings usually follow one another in the note list: a run of notes
  // with the same parent ID hashes that ID once and adds its count once.
  constexpr int kBatch = 16;
  uint64_t idHash[kBatch], sibHash[kBatch];
  const int n = GetNodeCount();
  const std::string* runPID = nullptr;
  uint64_t runHash = 0;
  int runLength = 0;
  for (int b = 0; b < n; b += kBatch) {
    const int e = std::min(n, b + kBatch);
    // The next batch's ID and parent ID characters, and the lines of the
    // batch after it, are asked for now: a large document's notes come from
    // memory, and the first ask brings in the note that the second reads.
    for (int i = e; i < std::min(n, e + kBatch); ++i) {
      if (i + kBatch < n) m_lstNodes.PrefetchTree(static_cast<size_t>(i + kBatch));
      m_lstNodes.PrefetchTreeText(static_cast<size_t>(i));
    }
    for (int i = b; i < e; ++i) {
      const NoteNode& note = m_lstNodes[i];
      idHash[i - b] = IdHashMap::Hash(note.m_strID, 0);
      if (!runPID || *runPID != note.m_strParentID) {
        if (runPID) m_mapChildCount.Get(*runPID, 0, IdHashMap::HashWithTag(runHash, 0)) += runLength;
        runPID = &note.m_strParentID;
        runHash = IdHashMap::TextHash(note.m_strParentID);
        runLength = 0;
      }
      ++runLength;
      sibHash[i - b] = IdHashMap::HashWithTag(runHash, note.m_nSibling);
      m_mapIdToIdx.Prefetch(idHash[i - b]);
      m_mapPidSibToIdx.Prefetch(sibHash[i - b]);
    }
    for (int i = b; i < e; ++i) {
      const NoteNode& note = m_lstNodes[i];
      if (!note.m_strID.empty()) m_mapIdToIdx.Get(note.m_strID, 0, idHash[i - b]) = i;
      m_mapPidSibToIdx.Get(note.m_strParentID, note.m_nSibling, sibHash[i - b]) = i;
    }
  }
  if (runPID) m_mapChildCount.Get(*runPID, 0, IdHashMap::HashWithTag(runHash, 0)) += runLength;
  m_bRecursiveMapDirty = true;
}

void NoteDocument::BlockMapRecalc(bool block) {
  m_bBlockMapRecalc = block;
  if (!block) {
    RebuildMap();
    RebuildRecursiveMap();
  }
}

void TreeIndex::Build(const NoteDocument& doc) {
  const NoteNodeList& notes = doc.GetNodeList();
  const int n = static_cast<int>(notes.size());
  // Parents by index: one hash of the parent ID per run of notes that share
  // it (siblings usually follow one another). The ID map may miss notes
  // added without map upkeep; then a map of the note list itself answers
  // (later notes win, as in the ID map). The sibling positions are copied
  // out on the way, so that sorting the children does not go back to the
  // notes.
  parent.assign(n, -1);
  noID.assign(n, 0);
  std::vector<int> sibling(n);
  std::unordered_map<std::string, int> local;
  bool useLocal = false;
  const std::string* lastPID = nullptr;  // the parent ID last looked up
  int lastParent = -2;                   // and what it resolved to
  // Notes are fetched ahead as in RebuildMap: first their lines, then,
  // once those are in, the characters of their parent ID.
  constexpr int kAhead = 16;
  for (int i = 0; i < n; ++i) {
    if (i + 2 * kAhead < n) notes.PrefetchTree(static_cast<size_t>(i + 2 * kAhead));
    if (i + kAhead < n) notes.PrefetchTreeText(static_cast<size_t>(i + kAhead));
    const NoteNode& note = notes[i];
    noID[i] = note.m_strID.empty();
    sibling[i] = note.m_nSibling;
    const std::string& pid = note.m_strParentID;
    if (pid.empty()) continue;
    if (lastPID && *lastPID == pid) {
      parent[i] = lastParent;
      continue;
    }
    int p = -2;
    if (!useLocal) {
      const int found = doc.GetIdxFromID(pid);
      if (found >= 0 && found < n && notes[found].m_strID == pid) {
        p = found;
      } else {
        useLocal = true;
        local.reserve(static_cast<size_t>(n));
        for (int k = 0; k < n; ++k)
          if (!notes[k].m_strID.empty()) local[notes[k].m_strID] = k;
      }
    }
    if (useLocal) {
      auto found = local.find(pid);
      p = found == local.end() ? -2 : found->second;
    }
    parent[i] = p;
    lastPID = &pid;
    lastParent = p;
  }
  // Children lists, grouped by parent (counting sort), each in sibling order.
  childStart.assign(static_cast<size_t>(n) + 2, 0);
  for (int i = 0; i < n; ++i)
    if (parent[i] >= -1) ++childStart[parent[i] + 2];
  for (int k = 1; k < n + 2; ++k) childStart[k] += childStart[k - 1];
  childList.assign(childStart[n + 1], 0);
  std::vector<int> fill(childStart.begin(), childStart.end() - 1);
  for (int i = 0; i < n; ++i)
    if (parent[i] >= -1) childList[fill[parent[i] + 1]++] = i;
  for (int p = -1; p < n; ++p) {
    int* b = childList.data() + childStart[p + 1];
    int* e = childList.data() + childStart[p + 2];
    if (e - b > 1)
      std::sort(b, e, [&sibling](int a, int c) {
        return sibling[a] != sibling[c] ? sibling[a] < sibling[c] : a < c;
      });
  }
  // Depth-first order from the top level; a note is taken once, which also
  // ends parent cycles.
  order.clear();
  order.reserve(n);
  position.assign(n, -1);
  depth.assign(n, -1);
  std::vector<std::pair<int, int>> stack;  // (note index, depth)
  for (const int* c = ChildrenEnd(-1); c != Children(-1);) stack.emplace_back(*--c, 0);
  while (!stack.empty()) {
    const int idx = stack.back().first;
    const int d = stack.back().second;
    stack.pop_back();
    if (position[idx] >= 0) continue;
    position[idx] = static_cast<int>(order.size());
    order.push_back(idx);
    depth[idx] = d;
    for (const int* c = ChildrenEnd(idx); c != Children(idx);) stack.emplace_back(*--c, d + 1);
  }
}

void NoteDocument::RebuildRecursiveMap() {
  m_tree.Build(*this);
  m_bRecursiveMapDirty = false;
}

const TreeIndex* NoteDocument::GetTreeIndex() {
  if (m_bBlockMapRecalc) return nullptr;
  if (m_bRecursiveMapDirty) RebuildRecursiveMap();
  return &m_tree;
}

int NoteDocument::GetCachedDepth(int idx) {
  if (m_bBlockMapRecalc || idx < 0 || idx >= GetNodeCount()) return -1;
  if (m_bRecursiveMapDirty) RebuildRecursiveMap();
  if (static_cast<size_t>(idx) >= m_tree.depth.size()) return -1;
  const int depth = m_tree.depth[idx];
  if (depth < 0) return -1;
  // The note must still sit where the cache put it: under the note that
  // bears its parent ID, one level up.
  const std::string& pid = m_lstNodes[idx].m_strParentID;
  if (pid.empty()) return depth == 0 ? 0 : -1;
  const int parent = m_tree.parent[idx];
  if (parent < 0 || m_lstNodes[parent].m_strID != pid || m_tree.depth[parent] != depth - 1) return -1;
  return depth;
}

int NoteDocument::GetRecursiveIdx(int idx) {
  if (m_bRecursiveMapDirty && !m_bBlockMapRecalc) RebuildRecursiveMap();
  if (idx < 0 || static_cast<size_t>(idx) >= m_tree.position.size()) return -1;
  return m_tree.position[idx];
}

void NoteDocument::GenerateUniqueNodeID(std::string& out) {
  FormatIO_DynamicBase* dyn = GetDynamicLoader();
  for (;;) {
    // MD5 of fresh random data gives the 16 bytes of the ID.
    unsigned char seed[32];
    if (RAND_bytes(seed, sizeof(seed)) != 1) {
      // Practically never; fall back to a weaker source rather than fail.
      for (unsigned char& b : seed) b = static_cast<unsigned char>(g_random_int());
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    // Fetched once: an implicit fetch on every call costs more than the digest.
    static EVP_MD* const md5 = EVP_MD_fetch(nullptr, "MD5", nullptr);
    // One context per thread, reused: a context of its own per ID cost an
    // allocation and a release for every note made.
    static thread_local std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!md5 || !ctx || EVP_DigestInit_ex2(ctx.get(), md5, nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), seed, sizeof(seed)) != 1 || EVP_DigestFinal_ex(ctx.get(), digest, &len) != 1 ||
        len < 16)
      memcpy(digest, seed, 16);
    out = EncodeId(digest);
    if (m_mapIdToIdx.Contains(out)) continue;
    if (dyn) {
      NoteNode probe;
      probe.m_strID = out;
      if (dyn->HasNote(probe)) continue;
    }
    return;
  }
}
