// Load flow of the native HTML format: the object's life, Load and
// LoadFromString, the set-up and finish shared with the containers, the kept
// file lock, note completion for dynamic documents, the repair of duplicate
// IDs and the hash fill-in.

#include <glib.h>

#include <algorithm>
#include <cstring>

#include "base/Log.h"
#include "base/Progress.h"
#include "base/ThreadBudget.h"
#include "formats/native/FormatIOHtml.h"
#include "formats/native/NoteWorkerPool.h"
#include "io/IOLayerFile64.h"
#include "io/IOProcess.h"
#include "model/NoteDocument.h"
#include "model/NoteNode.h"
#include "model/FormatIO_DynamicBase.h"
#include "model/NodeInfoFlags.h"

gunichar g_cBullet = 0x2022;
char g_szBullet[8] = "\xE2\x80\xA2";
bool g_bBulletInited = false;

namespace {

const int kFileChunk = 8192;
const int kStringChunk = 4024;
// Above this file size the note list is told how many notes to expect.
const int64_t kReserveThreshold = 2000000;
// Notes per block of the formatting repair: large enough that handing a
// block out costs nothing next to repairing it, small enough that the
// threads end at about the same time.
const int kRepairBlock = 256;

// Threads besides the loading thread for the formatting repair, as many as
// the thread budget has free (the pool takes them): the repair is short, a
// few suffice.
int RepairThreads(size_t blocks) {
  if (blocks < 2) return 0;
  return static_cast<int>(std::min<size_t>({static_cast<size_t>(quillery::FreeWorkerThreads()), 3, blocks - 1}));
}

// What a completed note hands to a dynamic loader: title and attributes for
// a clone, else text, title, links, tags, attributes, formatting, task,
// custom properties, picture positions and anchors (picture bytes reach the
// loader when each picture is added).
const unsigned int kCloneMask = NIF_TITLE | NIF_PROPERTIES;
const unsigned int kNoteMask = NIF_TEXT | NIF_TITLE | NIF_LINKS | NIF_TAGS | NIF_PROPERTIES | NIF_FORMATTING |
                               NIF_TASK | NIF_CUSTOM_PROPERTIES | NIF_PICTURE_INFO | NIF_ANCHORS;
static_assert(kNoteMask == 0x36F3, "note mask");

}  // namespace

FormatIO_HTML::FormatIO_HTML()
    : m_bFileLocked(false),
      m_nSaveError(0),
      m_nParentIdx(-1),
      m_nNodeIdx(-1),
      m_nSection(0),
      m_nTagCount(0),
      m_nTextPos(0),
      m_bInLink(false),
      m_bInScript(false),
      m_bInStyle(false),
      m_nLinkStart(-1),
      m_nExportedPictures(0),
      m_nExportedAttachments(0),
      m_bForeignHtml(true),
      m_nFirstNewIdx(-1),
      m_bInBulletList(false),
      m_bInBulletLine(false),
      m_bInBold(false),
      m_bInItalic(false),
      m_bInUnderline(false),
      m_bInStrike(false),
      m_bInColor(false),
      m_bInBkgColor(false),
      m_bInAlignRight(false),
      m_bInAlignCenter(false),
      m_clrFont(),
      m_bInPicture(false),
      m_bInFigure(false),
      m_bInFigCaption(false),
      m_nLoadParentIdx(-1),
      m_nInsertPos(0),
      m_nSolidEnd(0),
      m_nBulletLinePos(-1),
      m_nBulletLineByte(0),
      m_nBulletLinePics(0),
      m_bLinkSaved(false),
      m_bStructureSeen(false),
      m_bContentBegun(false),
      m_nDupFoundIdx(-1),
      m_bTitleSeen(false),
      m_bUtf8Declared(false),
      m_bDocValues(false),
      m_bDocReadOnly(false),
      m_bLastNoteRead(false),
      m_bBodyEnded(false),
      m_nLastNote(-1),
      m_nInputSize(-1),
      m_nHashScanIdx(0) {
  if (!g_bBulletInited) {
    const int n = g_unichar_to_utf8(g_cBullet, g_szBullet);
    g_szBullet[n] = '\0';
    g_bBulletInited = true;
  }
}

FormatIO_HTML::~FormatIO_HTML() { ReleaseFile(); }

// ---------------------------------------------------------------------------
// The kept document file

void FormatIO_HTML::ReleaseFile() {
  if (m_file.IsOpen()) {
    m_file.Unlock();
    m_file.Close();
  }
  m_bFileLocked = false;
}

bool FormatIO_HTML::KeepFile(const char* path) {
  ReleaseFile();
  if (!m_file.Open(path, F64_READ | F64_SHARE_READ | F64_OPEN_EXISTING)) return false;
  m_bFileLocked = m_file.Lock(false);
  m_strPath = path;
  return true;
}

int FormatIO_HTML::OpenDocumentFile(const char* path, File64& file, bool& locked) {
  locked = false;
  if (file.Open(path, F64_READ | F64_WRITE | F64_SHARE_READ | F64_OPEN_EXISTING)) {
    locked = file.Lock(false);
    return DOC_LOAD_OK;
  }
  if (!File64::PathExists(path)) return DOC_LOAD_NOT_FOUND;
  if (file.Open(path, F64_READ | F64_SHARE_READ | F64_SHARE_WRITE | F64_OPEN_EXISTING)) return DOC_LOAD_OK;
  return DOC_LOAD_NOT_OPEN;
}

void FormatIO_HTML::KeepDocumentFile(File64& file, bool locked) {
  if (!locked || !file.IsOpen()) return;
  m_file = file;  // shares the descriptor and its lock
  file.Detach();
  m_bFileLocked = true;
}

bool FormatIO_HTML::IsLoadedByAnotherProcess() {
  if (!m_file.IsOpen()) return true;
  if (m_file.IsLocked()) {
    // Our shared lock hides nothing: only converting it to an exclusive one
    // tells whether another holder exists.
    if (m_file.Lock(true)) {
      m_file.Lock(false);
      return false;
    }
    // A refused conversion may have dropped the shared lock: take it back.
    if (!m_file.Lock(false)) {
      m_file.Unlock();
      m_bFileLocked = false;
    }
    return true;
  }
  if (m_file.Lock(true)) {
    m_file.Unlock();
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Load entry points

int FormatIO_HTML::Load(const char* path, NoteDocument& doc, int parentIdx) {
  ReleaseFile();
  if (!path) return DOC_LOAD_NOT_FOUND;
  const int64_t size = File64::FileSize(path);

  IOProcess io(IOLayerBase::MODE_READ);
  IOLayerFile64* layer = new IOLayerFile64();
  io.PushLayer(layer);
  bool locked = false;
  int result = OpenDocumentFile(path, layer->GetFile(), locked);
  if (result != DOC_LOAD_OK) return result;

  BeginLoad(doc, parentIdx, path, size);
  if (size > kReserveThreshold) doc.ReserveNotesMemory(static_cast<int>(std::min<int64_t>(size / 5000, 1 << 24)));
  if (m_bReportProgress) ProgressInfo::SetTotalSize(size);

  std::vector<char> buf(kFileChunk);
  for (;;) {
    if (m_bReportProgress) ProgressInfo::SetCurrentSize(io.GetReadTotal());
    if (ProgressInfo::IsCanceled()) {
      result = DOC_LOAD_ABORTED;
      break;
    }
    bool more = false;
    const int n = io.Read(buf.data(), kFileChunk, more);
    if (n > 0) Parse(buf.data(), n);
    if (!more) break;
  }
  if (result == DOC_LOAD_OK && io.HasError()) {
    xLog(LOG_ERROR, "Error reading document file: %s\n", path);
    result = DOC_LOAD_NOT_OPEN;
  }
  result = FinishLoad(result);
  if (result == DOC_LOAD_OK) KeepDocumentFile(layer->GetFile(), locked);
  return result;
}

int FormatIO_HTML::LoadFromString(std::string& text, NoteDocument& doc) {
  BeginLoad(doc, m_nParentIdx, nullptr, static_cast<int64_t>(text.size()));
  for (size_t pos = 0; pos < text.size(); pos += kStringChunk) {
    const size_t n = std::min<size_t>(kStringChunk, text.size() - pos);
    Parse(text.data() + pos, static_cast<int>(n));
  }
  return FinishLoad(DOC_LOAD_OK);
}

// ---------------------------------------------------------------------------
// Set-up and finish shared by every loader

void FormatIO_HTML::BeginLoad(NoteDocument& doc, int parentIdx, const char* path, int64_t inputSize) {
  ReleaseFile();
  SetDoc(doc);
  m_nCurNoteIdx = INT_MIN;  // another document, or notes that went since the last load
  HTMLParser::Clear();
  m_bRawPre = m_bRawText;
  // ANSI text is converted by the reader itself; the parser must not
  // replace its bytes first.
  m_bMakeValidUtf8 = !m_bRawText;
  if (path) m_strPath = path;
  m_nInputSize = inputSize;

  m_arExtImages.clear();
  m_nPicturesLeftOut = 0;
  m_strFirstLeftOut.clear();
  m_mapRemappedIDs.clear();
  m_nFirstNewIdx = doc.GetNodeCount();
  m_strDocTitle.clear();
  m_strGenerator.clear();
  m_strGeneratorVersion.clear();
  m_strFormatVersion.clear();
  m_bForeignHtml = true;
  m_bLineBreakSeen = false;
  m_bParagraphSeen = false;

  if (parentIdx < 0 || parentIdx >= doc.GetNodeCount()) parentIdx = -1;
  m_nParentIdx = parentIdx;
  m_nLoadParentIdx = parentIdx;
  m_arParentStack.clear();
  m_nSection = (m_bContentsOnly || m_bNoNewNote) ? 2 : 0;
  m_nLinkStart = -1;
  m_nTextPos = 0;
  m_nInsertPos = 0;
  m_nSolidEnd = 0;
  m_nBulletLinePos = -1;
  for (auto& open : m_arOpenTags) open.clear();
  ResetOpenElements();
  if (m_bNoNewNote && m_nNodeIdx >= 0 && m_nNodeIdx < doc.GetNodeCount()) StartNote(m_nNodeIdx);
  else m_nNodeIdx = -1;

  m_bStructureSeen = false;
  m_bContentBegun = false;
  m_nDupFoundIdx = -1;
  m_strDupID.clear();
  m_bTitleSeen = false;
  m_bUtf8Declared = false;
  m_bDocReadOnly = false;
  m_bLastNoteRead = false;
  m_bBodyEnded = false;
  m_bOwnGenerator = false;
  m_nLastNote = -1;
  m_bIDPending = false;
  FormatIO_Base* loader = doc.GetLoader();
  m_bDocValues = !m_bNoNewNote && (!loader || loader == static_cast<FormatIO_Base*>(this));
  doc.BlockMapRecalc(true);
}

int FormatIO_HTML::FinishLoad(int result) {
  HTMLParser::Finalize();
  EnsureNoteID();
  NoteDocument& doc = *m_pDoc;
  if (result != DOC_LOAD_OK) {
    doc.BlockMapRecalc(false);
    m_nParentIdx = m_nLoadParentIdx;
    return result;
  }
  if (!m_bContentsOnly && !m_bNoNewNote && !m_bStructureSeen) {
    doc.BlockMapRecalc(false);
    xLog(LOG_WARNING, "Document has neither BODY nor any note: not a document of this format\n");
    return DOC_LOAD_FORMAT_ERROR;
  }
  // This program always closes the body of what it writes, so a document of
  // its own that stops before that was cut off (a copy or a disk that gave
  // out): loading the notes read so far would let the next save drop the rest.
  // Whatever markup its notes hold (a table reads as foreign HTML) does not
  // change who wrote it.
  if (!m_bContentsOnly && !m_bNoNewNote && m_bOwnGenerator && !m_bBodyEnded) {
    doc.BlockMapRecalc(false);
    xLog(LOG_ERROR, "Document ends before its body does: the file is cut off\n");
    m_nParentIdx = m_nLoadParentIdx;
    return DOC_LOAD_FORMAT_ERROR;
  }
  // A dynamic loader may look notes up while it is handed the last one.
  const bool dynamic = doc.GetDynamicLoader() != nullptr;
  if (dynamic) doc.BlockMapRecalc(false);
  ReportDuplicateID();
  // A truncated note text still gets the repairs of its end tag.
  if (m_nNodeIdx >= 0 && m_nSection == 2) OnTextEnd();
  OnNoteCompleted();

  // The formatting repair of every note touches only the notes' rich text,
  // while the map rebuild and the clone maps read only IDs and positions:
  // on a large document they run side by side. Remapped duplicate IDs
  // change links, and a dynamic document is told of changes: then the
  // repair waits for the remapping, on this thread, as it always did.
  // The repair is given in blocks of notes; with no worker, every block
  // runs on this thread once it waits for them. No loader is passed to the
  // repair, so no dynamic document is told anything from a worker.
  const bool alongside = !dynamic && m_mapRemappedIDs.empty();
  const int count = doc.GetNodeCount();
  const size_t blocks = static_cast<size_t>(count + kRepairBlock - 1) / kRepairBlock;
  const int threads = alongside && count >= m_nParallelRepairMin ? RepairThreads(blocks) : 0;
  quillery::NoteWorkerPool repair(threads, blocks, [&doc, count](int, size_t block) {
    const int from = static_cast<int>(block) * kRepairBlock;
    const int to = std::min(count, from + kRepairBlock);
    for (int i = from; i < to; ++i) doc.GetNodeByIdx(i).FixFormatting(nullptr);
  });
  repair.Add(blocks);
  if (!dynamic) doc.BlockMapRecalc(false);
  doc.RefreshCloneMaps();
  FixRemappedIDs();
  xLog(LOG_INFO, "AutoFixDocument\n");
  for (size_t b = 0; b < blocks; ++b) repair.WaitFor(b);
  xLog(LOG_INFO, "AutoFixDocument end\n");
  m_nParentIdx = m_nLoadParentIdx;

  if (m_bDocValues) {
    if (m_bDocReadOnly) doc.SetReadOnly(true);
    if (m_bLastNoteRead) doc.m_nLastNoteIdx = (m_nLastNote >= 0 && m_nLastNote < doc.GetNodeCount()) ? m_nLastNote : -1;
  }
  if (FormatIO_DynamicBase* dyn = doc.GetDynamicLoader()) dyn->StoreGlobalData();
  return DOC_LOAD_OK;
}

// ---------------------------------------------------------------------------
// Completion and repairs

void FormatIO_HTML::OnNoteCompleted() const {
  if (!m_pDoc || m_nNodeIdx < 0 || m_nNodeIdx >= m_pDoc->GetNodeCount()) return;
  NoteDocument& doc = *m_pDoc;
  if (FormatIO_DynamicBase* dyn = doc.GetDynamicLoader()) {
    NoteNode& note = doc.GetNodeByIdx(m_nNodeIdx);
    // A clone's original is not handed over again: a dynamic document may
    // already have released its content, which would then be written empty.
    unsigned int mask = note.IsClone() ? kCloneMask : kNoteMask;
    if (!note.m_lstAttachments.empty()) mask |= NIF_ATTACHMENTS;
    dyn->OnNodeUpdate(note, mask, false, nullptr);
  }
  doc.OnNoteDeselected(m_nNodeIdx, false);
}

void FormatIO_HTML::FixRemappedIDs() {
  if (m_mapRemappedIDs.empty() || !m_pDoc) return;
  NoteDocument& doc = *m_pDoc;
  FormatIO_DynamicBase* dyn = doc.GetDynamicLoader();
  const auto& map = m_mapRemappedIDs;
  bool clonesChanged = false;
  for (int i = std::max(m_nFirstNewIdx, 0); i < doc.GetNodeCount(); ++i) {
    NoteNode& note = doc.GetNodeByIdx(i);
    if (dyn) dyn->FetchNodeInfo(note, NIF_LINKS | NIF_PROPERTIES);
    unsigned int mask = 0;
    if (!note.m_strCloneOf.empty()) {
      auto it = map.find(note.m_strCloneOf);
      if (it != map.end()) {
        note.m_strCloneOf = it->second;
        mask |= NIF_PROPERTIES;
        clonesChanged = true;
      }
    }
    if (doc.RemapCloneRelation(note.m_strID, map)) mask |= NIF_PROPERTIES;
    auto remapLink = [&map, &mask](LinkInfo& link) {
      if (!link.strLink.empty() || link.strTargetID.empty()) return;
      auto it = map.find(link.strTargetID);
      if (it == map.end()) return;
      link.strTargetID = it->second;
      mask |= NIF_LINKS;
    };
    remapLink(note.m_objLink);
    for (LinkInfo& link : note.m_objText.m_lstLinks.Items()) remapLink(link);
    if (dyn) {
      if (mask) dyn->OnNodeUpdate(note, mask, false, nullptr);
      doc.OnNoteDeselected(i, false);
    }
  }
  if (clonesChanged) doc.RefreshCloneMaps();
}

// ---------------------------------------------------------------------------
// Hash fill-in

namespace {

bool NoteHashesMissing(const NoteNode& n) {
  return !n.GetText().empty() && (n.m_strHash.empty() || n.m_strHashHtml.empty());
}
// Attachment data that is not in memory (a dynamic document fetched only its
// list) is never hashed: its hash would be that of nothing.
bool AttHashMissing(const AttInfo& a) { return a.nDataSize > 0 && a.strHash.empty() && !a.strData.empty(); }

bool AnythingMissing(const NoteNode& n) {
  if (n.IsClone()) return false;
  if (NoteHashesMissing(n)) return true;
  for (const AttInfo& a : n.m_lstAttachments)
    if (a.strCode.empty() || AttHashMissing(a)) return true;
  return false;
}

}  // namespace

bool FormatIO_HTML::AnyHashesToBeDone() {
  if (!m_pDoc) return false;
  for (int i = 0; i < m_pDoc->GetNodeCount(); ++i)
    if (AnythingMissing(m_pDoc->GetNodeByIdx(i))) return true;
  return false;
}

bool FormatIO_HTML::UpdateHashes(bool stopAtFirst) {
  if (!m_pDoc) return false;
  NoteDocument& doc = *m_pDoc;
  const int count = doc.GetNodeCount();
  if (count == 0) return false;
  // With stopAtFirst a host calls this repeatedly; resuming where the last
  // call stopped keeps such a loop linear in the number of notes.
  if (!stopAtFirst || m_nHashScanIdx >= count) m_nHashScanIdx = 0;
  bool filled = false;
  // Returns true from the loop right after the first fill-in when asked to.
  auto done = [&](int i) {
    filled = true;
    if (stopAtFirst) m_nHashScanIdx = i;
    return stopAtFirst;
  };
  for (int step = 0; step < count; ++step) {
    const int i = (m_nHashScanIdx + step) % count;
    NoteNode& note = doc.GetNodeByIdx(i);
    if (note.IsClone()) continue;
    if (NoteHashesMissing(note)) {
      xLog(LOG_DEBUG, "Init note hashes for note: %s\n", note.m_strID.c_str());
      if (note.m_strHash.empty()) NoteNode::CalcDataHash(note.GetText(), note.m_strHash);
      // A note that cannot be rendered (logged) would be found missing
      // again on every call: stop here.
      if (note.m_strHashHtml.empty() && note.CalcHtmlHash(note.m_strHashHtml) != DOC_SAVE_OK) {
        m_nHashScanIdx = 0;
        return filled;
      }
      if (done(i)) return true;
    }
    for (size_t a = 0; a < note.m_lstAttachments.size(); ++a) {
      AttInfo& att = note.m_lstAttachments[a];
      if (att.strCode.empty()) {
        xLog(LOG_DEBUG, "Init attachment code for note: %s, att_idx=%d\n", note.m_strID.c_str(), int(a));
        doc.GenerateUniqueNodeID(att.strCode);
        if (done(i)) return true;
      }
      if (AttHashMissing(att)) {
        xLog(LOG_DEBUG, "Init attachment hash for note: %s, att_idx=%d (size1=%d, size2=%d)\n",
             note.m_strID.c_str(), int(a), att.nDataSize, int(att.strData.size()));
        NoteNode::CalcDataHash(att.strData, att.strHash);
        xLog(LOG_DEBUG, "Init attachment hash for note: %s, att_idx=%d (hash=%s)\n", note.m_strID.c_str(), int(a),
             att.strHash.c_str());
        if (done(i)) return true;
      }
    }
  }
  m_nHashScanIdx = 0;
  return filled;
}
