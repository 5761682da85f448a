#pragma once

// A document: its notes, metadata, side lists, and the format object
// ("loader") attached to its file.
//
// Ownership: the document owns its notes (m_lstNodes), its loader (deleted
// when replaced or on Close) and its lists. The GUI controller is not owned;
// without one set, a default controller with fixed answers is used.
//
// Notes live in a NoteNodeList: appending never moves existing notes, so a
// NoteNode& stays valid across NodeInsert/PushNode (but not across Close).
//
// Map upkeep: NodeInsert and NodeInitID keep the ID, (parent, sibling) and
// child-count maps current; PushNode only counts the child and leaves the ID
// and (parent, sibling) maps to a later RebuildMap. The recursive-index map
// is rebuilt lazily when first asked after a change.
//
// Threads (docs/ARCHITECTURE.md, "Threads"): the document belongs to the
// thread that loads or saves it. Workers of that thread's NoteWorkerPool
// read it only between handing out and waiting for their items, and then:
// a load's repair workers change the rich text of the notes of their own
// blocks and read nothing else (the loading thread rebuilds the maps
// meanwhile); a save's render workers read the note list, the notes, the
// ID maps (const lookups, nothing cached) and the document's settings while
// nothing changes them. Never from a worker: GetTreeIndex and the walks and
// levels that use it (the tree cache is rebuilt on first use after a
// change), note selection and fetching (OnNoteSelected: current note,
// loader), the clone maps, and anything that adds, moves or asks.

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "model/BookmarkList.h"
#include "model/CustomProperty.h"
#include "model/DocTreeCache.h"
#include "model/GuiControllerBase.h"
#include "model/NoteNode.h"
#include "model/NoteNodeList.h"
#include "richtext/PixInfo.h"

class FormatIO_Base;
class FormatIO_DynamicBase;
class RecursiveTreeWalker;
namespace quillery {
struct TargetState;
}

class NoteDocument : public DocTreeCache {
 public:
  NoteDocument();
  ~NoteDocument();
  NoteDocument(const NoteDocument&) = delete;
  NoteDocument& operator=(const NoteDocument&) = delete;

  // ---- File ----
  // The FileFormatId for the extension after the last '.' of the path; -1
  // when there is none or it is unknown.
  static int GetFormatFromFileName(const char* path);
  static int GetFormatFromFileName(const std::string& path) { return GetFormatFromFileName(path.c_str()); }

  // Loads a file (format 0: by its extension). merge: the file's notes go
  // under parentIdx (-1 = top level) of the open document, which stays
  // open. Returns a DocLoadResult. Load and Save never throw: see
  // model/FailureBoundary.h.
  int Load(const char* path, const char* password = nullptr, int format = 0, bool enableSharing = true,
           bool merge = false, int parentIdx = -1);
  // Saves the notes of the walk (format 0: by the extension). switchToNew:
  // the document continues with the new file as its own. backupCount and
  // backupDir: numbered copies of the replaced file, "<name>.bak1" (newest)
  // to ".bakN", in backupDir or beside the target (save/DocumentBackup.h);
  // a save that cannot make them fails. cloneMode becomes the clone mode of
  // this save. keepID: a save under a new name keeps the UID. expected:
  // the target as the caller found it before it began (null: as the save
  // finds it); only that is replaced, and a target no longer in that state
  // fails the save (see quillery::TargetState). expectedFolder: likewise
  // the place of an export's side folder (TargetState::OfEntry).
  // Returns a DocSaveResult.
  int Save(const char* path, RecursiveTreeWalker& walker, bool switchToNew = true, int backupCount = 0,
           const char* backupDir = nullptr, const char* password = nullptr, int format = 0, int cloneMode = 0,
           bool keepID = false, const quillery::TargetState* expected = nullptr,
           const quillery::TargetState* expectedFolder = nullptr);
  // Drops every note and side list and the loader; the document is empty
  // and without a file afterwards. Export options and the GUI controller
  // stay.
  void Close();

  const std::string& GetPath() const { return m_strPath; }
  void SetPath(const std::string& path) { m_strPath = path; }

  // ---- Metadata ----
  const std::string& GetTitle() const { return m_strTitle; }
  void SetTitle(const std::string& title) { m_strTitle = title; }
  const std::string& GetAuthor() const { return m_strAuthor; }
  void SetAuthor(const std::string& author) { m_strAuthor = author; }
  const std::string& GetUID() const { return m_strUID; }
  void SetUID(const std::string& uid) { m_strUID = uid; }
  bool IsReadOnly() const { return m_bReadOnly; }
  void SetReadOnly(bool readOnly) { m_bReadOnly = readOnly; }
  bool IsModified() const { return m_bModified; }
  // Setting counts one modification.
  void SetModified(bool modified);
  int GetModificationCount() const { return m_nModifications; }
  const std::string& GetPassword() const { return m_strPassword; }
  void SetPassword(const std::string& password) { m_strPassword = password; }
  bool GetReportProgress() const { return m_bReportProgress; }
  void SetReportProgress(bool report) { m_bReportProgress = report; }
  // Loads that follow only read their file (see FormatIO_Base::SetReadOnlyLoad).
  bool GetReadOnlyLoad() const { return m_bReadOnlyLoad; }
  void SetReadOnlyLoad(bool readOnly) { m_bReadOnlyLoad = readOnly; }
  // True while a format's Load runs.
  bool IsLoading() const { return m_bLoading; }

  // The loader's GetFormat() is 3 or 16.
  bool IsEncrypted() const;
  // The format object attached to the file; null without a file.
  FormatIO_Base* GetLoader() const { return m_pLoader; }
  // The loader as a dynamic format, null when it is not one.
  FormatIO_DynamicBase* GetDynamicLoader() const;
  GuiControllerBase* GetGuiController() const { return m_pGuiController; }
  // Null restores the default controller. Not owned.
  void SetGuiController(GuiControllerBase* controller);

  // ---- Notes and tree maps ----
  int GetNodeCount() const { return static_cast<int>(m_lstNodes.size()); }
  // No bounds check: callers pass a valid index.
  NoteNode& GetNodeByIdx(int idx) { return m_lstNodes[idx]; }
  const NoteNode& GetNodeByIdx(int idx) const { return m_lstNodes[idx]; }
  NoteNodeList& GetNodeList() { return m_lstNodes; }
  const NoteNodeList& GetNodeList() const { return m_lstNodes; }
  // A hint only (the note list never moves its notes).
  void ReserveNotesMemory(int count);

  // Appends a new empty note with a fresh unique ID under parentID at
  // sibling (-1 = last child; otherwise later siblings shift up by one). The
  // new note is the last of the note list; its index is returned.
  // updateMaps false leaves the maps to a later RebuildMap; notifyLoader
  // tells a dynamic loader (OnNodeInsert, then OnNodeUpdate of text and
  // properties). newID false leaves the note without an ID (and out of the
  // ID map) for a caller that gives it one through NodeInitID before
  // anything asks for it, such as a reader that reads the ID next.
  int NodeInsert(const std::string& parentID, int sibling, bool updateMaps = true, bool notifyLoader = true,
                 bool newID = true);
  // Gives the note a new ID and re-keys the ID, child-count and (parent,
  // sibling) maps (its children follow it); a dynamic loader is told.
  void NodeInitID(int idx, const std::string& id);
  // Appends a copy of a ready note; counts it as a child of its parent. The
  // ID and (parent, sibling) maps are left to RebuildMap.
  void PushNode(const NoteNode& note);
  // The same for a note the caller gives up (a loader's freshly read note).
  void PushNode(NoteNode&& note);
  // Rebuilds the note counter, the ID map, the (parent, sibling) map and the
  // child-count map from the note list.
  void RebuildMap();
  // true suspends the recursive-index upkeep during bulk inserts; false
  // resumes it and rebuilds the maps.
  void BlockMapRecalc(bool block);
  // The depth-first position of a note (rebuilding the map when stale); -1
  // for a note not reachable from the top level.
  int GetRecursiveIdx(int idx);
  // The depth of a note (0 = top level) from the cache kept with the
  // recursive-index map, so that asking for every note of a deep tree stays
  // linear; -1 when the cache cannot answer (maps blocked, the note is not
  // reachable from the top level, or its parent changed since) and the
  // caller must count the levels itself.
  int GetCachedDepth(int idx);
  // The tree by note index, brought up to date when the tree changed; null
  // while BlockMapRecalc(true) is in force (the ID map may be stale then).
  const TreeIndex* GetTreeIndex();
  // A new random 22-character ID (base64 of 16 random bytes, no padding)
  // that no note of the document and no note of a dynamic loader's file
  // has. Also used for attachment codes.
  void GenerateUniqueNodeID(std::string& out);

  // ---- Clones ----
  void RegisterCloneRelation(const std::string& cloneID, const std::string& originalID);
  // True when the relation was recorded.
  bool UnregisterCloneRelation(const std::string& cloneID, const std::string& originalID);
  // Removes every relation in which the ID takes part.
  void UnregisterAllCloneRelation(const std::string& noteID);
  // Registers every clone with its original; a clone whose original is
  // missing is logged and skipped.
  void RefreshCloneMaps();
  // Renames IDs in the note's clone set by the map (old -> new); true when
  // anything changed.
  bool RemapCloneRelation(const std::string& noteID, const std::map<std::string, std::string>& idMap);
  // The original of a clone, or the note itself; a missing original is
  // logged (level 3) and the clone itself is returned. *outIdx gets the
  // returned note's index.
  NoteNode& GetOriginalByIdx(int idx, int* outIdx = nullptr);
  // The clone IDs registered under an original (empty set when none).
  const std::set<std::string>& GetClones(const std::string& originalID) const;

  // ---- Selection ----
  // Returns the note (or, with resolveClones, its original); with a dynamic
  // loader its parts named by mask are fetched first and its formatting is
  // repaired. The note becomes the current note.
  NoteNode& OnNoteSelected(int idx, unsigned int mask, bool resolveClones);
  // With a dynamic loader releases the note's fetched content unless it
  // (or, with checkOriginal, its original) is the current note.
  void OnNoteDeselected(int idx, bool checkOriginal);

  // ---- Other ----
  // Adds (add) or removes the note's tags to/from a tag-count map; when
  // report is set, a tag whose count drops to 0 is reported to a dynamic
  // loader (OnRemoveTag).
  void UpdateNodeKeywordsMap(const NoteNode& note, std::map<std::string, int>& counts, bool add, bool report);
  // Adds a picture of encoded PNG/JPEG bytes at offset. width/height -1: no
  // scaling, the bytes are kept as they are and decoded only when needed;
  // width > 0 decodes and scales. False for empty bytes, a negative
  // offset, the offset of the last picture added, or bytes that cannot be
  // decoded when scaling. A dynamic
  // loader is told of the new picture.
  bool AddNotePicture(NoteNode& note, int offset, const std::string& name, const std::string& bytes, bool png,
                      int width, int height);
  // The outline number "1.3.2." of a note, counted up to the stop note (-1 =
  // the top level). False for an invalid index.
  bool CalcNodePath(int idx, std::string& out, int stopIdx) const;
  BookmarkList& GetBookmarkList() { return m_lstBookmarks; }
  const BookmarkList& GetBookmarkList() const { return m_lstBookmarks; }

  // ---- Members the formats read and fill ----
  int m_nLastNoteIdx = -1;     // native format's "LastNote" value
  int m_nCurrentNoteIdx = -1;  // the selected note
  int m_nStartNoteIdx = -1;
  int64_t m_nPropModifiedTime = 0;
  int m_nNodeCounter = 0;      // note counter, reset by RebuildMap

  std::map<std::string, int> m_mapDeletedNotes;        // ID -> 1
  std::map<std::string, int> m_mapDeletedAttachments;  // code -> 1
  std::map<std::string, int> m_mapTagUseCount;         // tag -> notes using it
  std::map<std::string, int> m_mapCustomPropNameCount; // property name -> uses
  std::vector<CustomProperty> m_lstCustomProperties;   // the document's own
  std::map<std::string, std::string> m_mapAnchors;     // anchor name -> note ID
  std::map<std::string, std::string> m_mapCloneConversion;  // original ID -> replacing clone ID
  std::map<std::string, std::string> m_mapIDSubstitution;   // note ID -> note ID

  PictureList m_lstCustomIcons;            // custom note icons
  int m_nCustomIconCounter = 0;            // offset the next custom icon gets
  std::map<std::string, int> m_mapNoteIcon;  // note ID -> offset in m_lstCustomIcons

  bool m_bStoreBookmarks = true;
  int m_nTabWidth = 4;
  int m_nCloneMode = 0;
  bool m_bNoCloneQuestion = false;
  int m_nCloneConversionAnswer = 0;
  bool m_bPlugin = false;

  // HTML export options (read only by the HTML export).
  bool bExportHeadings = false;
  bool bExportFrames = false;
  bool bExportNumbered = false;
  bool bExportLinkedImages = false;
  int nExportTabSize = 4;
  std::string strExportCss;
  bool bExportDocLinksAsHtml = false;
  std::string strExportPath;
  int nExportCssEmbed = -1;
  int nExportTocDepth = 0;
  bool bExportContentsOnly = false;   // also the body-only option
  bool bExportLinkWarning = true;
  bool bExportPicturesToFiles = false;  // also attachments as files
  bool bExportNoAttachments = false;

 private:
  friend class DocumentIterator;
  friend class DocumentSave;

  void ClearContents();
  void AddToMaps(int idx);
  void RebuildRecursiveMap();
  int LoadFile(const char* path, const char* password, int format, bool enableSharing, bool merge, int parentIdx);
  int SaveWithFormat(const char* path, RecursiveTreeWalker& walker, bool switchToNew, int backupCount,
                     const char* backupDir, const char* password, int format, bool keepID,
                     const quillery::TargetState* expected, const quillery::TargetState* expectedFolder);

  NoteNodeList m_lstNodes;
  std::string m_strPath;
  std::string m_strTitle;
  std::string m_strAuthor;
  std::string m_strUID;
  std::string m_strPassword;
  bool m_bReadOnly = false;
  bool m_bModified = false;
  int m_nModifications = 0;
  bool m_bReportProgress = true;
  bool m_bLoading = false;
  bool m_bReadOnlyLoad = false;

  FormatIO_Base* m_pLoader = nullptr;  // owned
  GuiControllerBase* m_pGuiController;  // not owned
  BookmarkList m_lstBookmarks;
  std::map<std::string, std::set<std::string>> m_mapClones;  // original ID -> clone IDs
};
