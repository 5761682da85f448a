#pragma once

// FormatIO_HTML: the native document format. One class reads and writes the
// HTML subset of ".qyd" (and ".hqy") files, reads plain ".html" files as one
// note, and exports HTML. The encrypted and compressed containers derive
// from it and feed its parser through their own layer chains.
//
// Reading: HTMLParser calls back OnTagBegin/OnTagEnd/OnComment/OnText while
// Load or LoadFromString pushes the input through it; the callbacks build the
// note tree in the document as the markup arrives (a DT appends one note
// under the current parent, DL descends, the end of DL climbs) and fill each
// note's rich text. Every load starts with BeginLoad and ends with
// FinishLoad, so that all loaders of this markup repair and report alike.
//
// Ownership: the reader points to the document it loads into (FormatIO_Base)
// and does not own it; the document owns the reader as its loader. The reader
// owns m_file: after a successful load it holds the document file open with
// a shared lock until the next load, a save elsewhere, or its destruction.
//
// Invariants while a load runs: m_nParentIdx is the load's parent or a note
// this load added below it (never above: m_arParentStack holds the parents
// to climb back to); m_nNodeIdx is -1 or a valid note index; m_nInsertPos is
// the current note's length in offset units (text characters plus
// pictures); m_arOpenTags[k] lists, in list order, the indexes of the begin
// tags of kind k that stand after the last end tag of kind k in the current
// note's formatting list; m_bIDPending is set only while the current note
// is the one the last DT added, still without an ID.
//
// Threads: the parser and every callback run on the loading thread. Only
// FinishLoad hands the formatting repair of a large document to worker
// threads (NoteWorkerPool): they own the rich text of the notes of the
// blocks they took, the loading thread everything else but the note list
// itself, which nobody changes until it has waited for every block.
//
// Members up to m_bInFigCaption are the format's documented state, kept in
// the order in which the format's description lists them so that the two
// can be read side by side (the first of them, the settings a note's
// rendering reads, come from the base HtmlFormatSettings, so that a render
// worker copies them in one assignment); nothing depends on their layout at
// run time. The reader's own working state comes after them.

#include <gdk/gdk.h>

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

#include "base/File64.h"
#include "model/FormatIO_Base.h"
#include "formats/native/HtmlExportNames.h"
#include "formats/native/HtmlFormatSettings.h"
#include "html/HtmlParser.h"
#include "formats/native/HtmlSegmentList.h"
#include "formats/native/HtmlWriteOptions.h"

class AttInfo;
class CustomProperty;
class DocumentIterator;
class FmtInfo;
class IOProcess;
class LinkInfo;
class NoteNode;
class PixInfo;
class RecursiveTreeWalker;

// A picture referenced by web address, collected for the host to fetch.
struct tExtImage {
  std::string strTitle;  // the IMG "title"
  std::string strSrc;    // the IMG "src"
  int nNoteIdx = -1;
  int nOffset = -1;      // character offset in that note
};

// One note of a native save that is rendered ahead of its writing (see
// WriteNotesInParallel): the list markup around it, fixed by the walk, and
// the note's complete markup once rendered.
struct tNoteFrame {
  int nIdx = -1;
  int nDepth = 0;           // depth below the walk's start
  int nChildren = 0;
  bool bOffMain = false;    // rendered by a worker thread
  std::string strOpen;      // lists closed and opened before the note
  std::string strClose;     // lists the note ends
  std::string strOut;       // the note's markup, strOpen and strClose included
};

// The bullet character U+2022 and its UTF-8 form (zero-terminated), made
// once by the first FormatIO_HTML constructed.
extern gunichar g_cBullet;
extern char g_szBullet[8];
extern bool g_bBulletInited;

// Values of the running save, shared with the export (one save at a time per
// process): the tab replacement of exported text, whether the export uses
// frames, and the host's switch that turns note tags into CSS classes.
extern std::string g_strTabReplacement;
extern bool g_bExportFrames;
extern bool g_bExportTagsAsCSSClasses;

namespace quillery {
// Sets g_strTabReplacement to the document's export tab size times
// "&nbsp;"; a size below 1 is first set to 4 in the document.
void PrepareTabReplacement(NoteDocument& doc);
}  // namespace quillery

class FormatIO_HTML : public HTMLParser, public FormatIO_Base, public HtmlFormatSettings {
 public:
  FormatIO_HTML();
  ~FormatIO_HTML() override;  // unlocks and closes the kept file

  // ---- Parser callbacks (reading) ----
  void OnTagBegin(const char* tag, const char* params, bool selfClosing) override;
  void OnTagEnd(const char* tag) override;
  void OnComment(const char* text) override;
  void OnText(std::string& text) override;

  // ---- Format interface ----
  // 0 loaded, 1 cancelled, 2 missing, 5 not a document of this format (native
  // mode only: neither BODY nor DT), 7 unreadable.
  int Load(const char* path, NoteDocument& doc, int parentIdx) override;
  int Save(const char* path, RecursiveTreeWalker& walker) override;
  int GetFormat() override { return 7; }
  bool AnyHashesToBeDone() override;
  bool UpdateHashes(bool stopAtFirst) override;
  bool IsLoadedByAnotherProcess() override;

  // ---- Writer's encoding steps (overridable) ----
  virtual void SegmentListAddLinks(NoteNode& note, tSegmentList& segs, bool exp, DocumentIterator& it,
                                   RecursiveTreeWalker& walker);
  virtual void SegmentListAddPictures(NoteNode& note, tSegmentList& segs, bool exp);
  virtual void SegmentListAddFormatting(NoteNode& note, tSegmentList& segs, bool exp);
  virtual void SegmentListAddAnchors(NoteNode& note, tSegmentList& segs, bool unused);
  virtual void SegmentListToString(tSegmentList& segs, bool exp, std::string& out);
  virtual void EncodePicture(std::string noteID, PixInfo& pix, std::string& out, bool exp);
  virtual void EncodeFormattingTag(const FmtInfo& tag, std::string& out, bool exp);
  // Places a pass's items, or keeps them for the note's single merge when a
  // batch is being collected.
  void MergeOrDefer(tSegmentList& segs, std::vector<tSegmentInsert>& items);
  // The anchors pass: every anchor with an offset, in order of offset; with
  // seen, only names not already in it (they are added).
  void AddAnchorSegments(NoteNode& note, tSegmentList& segs, std::unordered_set<std::string>* seen);

  // ---- Preparation hooks of the document model ----
  void SetRawText(bool raw) override { m_bRawText = raw; }
  void SetContentsOnly(bool contentsOnly) override { m_bContentsOnly = contentsOnly; }
  void SetExport(bool exportMode, bool linkWarning) override {
    m_bExport = exportMode;
    m_bLinkWarning = linkWarning;
  }
  std::string GetGenerator() const override { return m_strGenerator; }
  std::string GetGeneratorVersion() const override { return m_strGeneratorVersion; }
  std::string GetFormatVersion() const override { return m_strFormatVersion; }
  // The pictures of the last load that a document cannot hold (any source
  // but an embedded PNG or JPEG: a web address, a file, another kind) and
  // were left out, and the source of the first (cut at 30 characters).
  int PicturesLeftOut() const { return m_nPicturesLeftOut; }
  const std::string& FirstPictureLeftOut() const { return m_strFirstLeftOut; }
  void ReleaseFile() override;
  bool KeepFile(const char* path) override;

  // ---- Reading ----
  // Parses text (in pieces of at most 4,024 bytes) into doc. Keeps
  // m_nParentIdx (the parent of the loaded notes), m_strPath and, with
  // m_bNoNewNote, m_nNodeIdx (the note that receives the text). Returns 0,
  // or 5 for input without BODY or DT in native mode.
  int LoadFromString(std::string& text, NoteDocument& doc);
  // Hands the current note to a dynamic loader and releases what such a
  // document keeps only while a note is selected.
  void OnNoteCompleted() const;
  // Points links and clone references of the notes this load added from
  // duplicate IDs to the IDs those notes were given instead.
  void FixRemappedIDs();
  // Closes an open bullet line and list in the current note.
  void FixBulletedList();
  // Reads the href of an A element into m_strLinkUrl and m_nLinkStart.
  bool ExtractLink(const std::string& params, bool asAttachment);
  // The same with the href already looked for (url: its value, taken over).
  bool ExtractLink(const std::string& params, bool asAttachment, bool hasHref, std::string& url, bool closed);
  // Adds the picture of an IMG element (note text) or the custom icon (title).
  void ExtractImageData(const std::string& params);
  void ParseFontSizeInPx(const std::string& style, std::string& size);
  bool ParseLineSpacing(const std::string& style, int& value);

  // ---- Writing ----
  int SaveToString(std::string& out, NoteDocument& doc, RecursiveTreeWalker& walker);
  bool WriteDocContents(IOProcess& io, RecursiveTreeWalker& walker);
  bool SaveDocumentHeader(RecursiveTreeWalker& walker, IOProcess& io);
  static bool WriteString(IOProcess& io, const char* text, int length);
  void WriteLevel(DocumentIterator& it, IOProcess& io, RecursiveTreeWalker& walker, bool exp, bool styled);
  void WriteNote(DocumentIterator& it, IOProcess& io, RecursiveTreeWalker& walker, int& previous, int idx,
                 bool exp, bool styled, bool first);
  void WriteNodeTitle(const RecursiveTreeWalker& walker, const DocumentIterator& it, NoteNode& note,
                      IOProcess& io, bool exp, bool styled, int depth, int idx, bool first, std::string* out);
  void WriteNodeParameters(const RecursiveTreeWalker& walker, NoteNode& note, IOProcess& io,
                           std::string* out);
  void WriteNodeAttachments(NoteNode& note, IOProcess& io, bool exp, std::string* out);
  void SerializeNoteContents(NoteNode& note, bool exp, DocumentIterator& it, RecursiveTreeWalker& walker,
                             std::string& out);
  bool TerminateBranchTags(const RecursiveTreeWalker& walker, IOProcess& io, const DocumentIterator& it,
                           int idx, int depth, std::string* out);
  void EncodeHyperlinkStart(std::string& out, const LinkInfo& link, const RecursiveTreeWalker& walker,
                            const NoteNode& note) const;

  // Caps the worker threads that render the notes of a native save: 0
  // writes on the saving thread alone, a negative value (the default) lets
  // the machine's cores decide. Process-wide.
  static void SetRenderThreadLimit(int threads);

  // The export's side folder of the running save (one save at a time): its
  // name, which links use, and the folder side files are written into (the
  // build folder that takes the side folder's place with the page).
  static std::string _strExportSubName;
  static std::string _strExportSubDir;

  // ---- Fields of the format class, in their documented order (see above) ----
  // (m_bRawText to m_bParagraphBlankLine come first, from HtmlFormatSettings.)
  std::string m_strGenerator;
  std::string m_strGeneratorVersion;
  std::string m_strFormatVersion;
  std::vector<tExtImage> m_arExtImages;
  bool m_bFileLocked;         // m_file holds the document file, locked
  File64 m_file;
  int m_nSaveError;
  int m_nParentIdx;           // parent of the notes being read; -1 = top level
  int m_nNodeIdx;             // note being read; -1 = none
  int m_nSection;             // 0 outside, 1 title part, 2 note text, 3 TITLE
  int m_nTagCount;            // start tags seen since construction
  int m_nTextPos;             // pictures placed in the current note
  bool m_bInLink;             // an A element with a link is open
  bool m_bInScript;
  bool m_bInStyle;
  std::string m_strDocTitle;
  std::string m_strLinkUrl;
  std::string m_strAttData;
  std::string m_strAttTitle;
  std::string m_strAttHash;
  std::string m_strAttCode;
  std::string m_strAttTarget;
  int m_nLinkStart;
  int m_nExportedPictures;
  int m_nExportedAttachments;
  bool m_bForeignHtml;        // true until BODY shows this program's generator
  std::map<int, std::vector<int>> m_mapSpanTags;
  std::vector<int> m_arParagraphTags;
  std::map<std::string, std::string> m_mapRemappedIDs;  // duplicate ID -> ID given instead
  int m_nFirstNewIdx;         // first note index this load adds
  bool m_bInBulletList;
  bool m_bInBulletLine;
  bool m_bInBold;
  bool m_bInItalic;
  bool m_bInUnderline;
  bool m_bInStrike;
  bool m_bInColor;
  bool m_bInBkgColor;
  bool m_bInAlignRight;
  bool m_bInAlignCenter;
  GdkColor m_clrFont;
  bool m_bInPicture;
  bool m_bInFigure;
  bool m_bInFigCaption;

 protected:
  // ---- Load set-up and finish shared by every loader of this markup ----
  //
  // A loader (plain file, string, encrypted or compressed container) calls
  // BeginLoad before it feeds the first byte to the parser, then Parse for
  // every chunk, then FinishLoad with its own result so far:
  //   BeginLoad: releases a kept file, binds the document, resets the whole
  //     run state (parser, tree position, open elements, link state,
  //     remapped IDs), records the first new note index, decides whether
  //     document-level values may be applied, suspends the document's map
  //     upkeep (BlockMapRecalc(true)). parentIdx is the note under which
  //     the notes go (-1 = top level); path becomes m_strPath unless null.
  //     inputSize (bytes, -1 unknown) bounds the note count a file may claim.
  //   FinishLoad(result): ends the parser, resumes the map upkeep, and when
  //     result is 0: completes the last note, refreshes the clone maps,
  //     remaps duplicate IDs, repairs formatting, applies the deferred
  //     document values and tells a dynamic loader to store the
  //     document-wide data. Returns result, or 5 when a native load met
  //     neither BODY nor DT.
  // A loader that keeps the file open calls KeepDocumentFile after a 0.
  void BeginLoad(NoteDocument& doc, int parentIdx, const char* path, int64_t inputSize);
  int FinishLoad(int result);
  // Opens path for loading: read-write (39) with a shared lock when
  // possible, else read-only (45) without lock. Returns 0, 2 (missing) or 7;
  // locked tells whether the shared lock was taken.
  static int OpenDocumentFile(const char* path, File64& file, bool& locked);
  // Takes over file's open descriptor (file is detached) and keeps it as the
  // document file; nothing when locked is false (the file then closes with
  // its owner).
  void KeepDocumentFile(File64& file, bool locked);

  // ---- Save set-up shared by every writer of the native markup ----
  //
  // Binds doc and prepares one native write to a file (not to a string):
  // the per-run state is reset, export options apply only in export mode
  // (outside it the export's side folder is cleared too) and m_nSaveError
  // starts at 0. The caller sets m_strPath first: relative file links are
  // written against its folder. The containers call it before they hand
  // their chains to WriteDocContents.
  void BeginNativeSave(NoteDocument& doc);
  // After the save's chain (or its file) failed: m_nSaveError becomes 12 when
  // a stage ran out of memory (even where a write was already taken for a
  // failed one), else a failed write (10) unless it holds another failure.
  void SetChainFailure(const IOProcess& io);

 private:
  // Reading helpers (load flow and structure).
  void ResetOpenElements();
  void ResetLinkState();
  void StartNote(int idx);
  void EnsureContentsNote();
  void OnStructureTagBegin(unsigned int token, const char* tag, const std::string& params);
  void OnMeta(const std::string& params);
  void OnBody();
  void OnPropertyComment(const char* rest, NoteNode* note);
  void OnTaskComment(const char* rest, NoteNode& note);
  void OnCustomProperty(const char* rest, NoteNode* note);
  void SetIconFile(NoteNode& note, const std::string& path);
  void AddKeywords(NoteNode& note, const char* value);
  void OnTitleAnchor(const std::string& params);
  void ReportDuplicateID();
  bool DocValuesAllowed() const { return m_bDocValues; }
  bool IsRawInput() const { return m_bRawText && !m_bUtf8Declared; }
  // The note being read (m_nNodeIdx), or null. Asked for on nearly every
  // callback: the answer is kept until m_nNodeIdx changes (notes never move
  // or go during a load; BeginLoad forgets it).
  NoteNode* CurrentNote() { return m_nNodeIdx == m_nCurNoteIdx ? m_pCurNote : LookUpCurrentNote(); }
  NoteNode* LookUpCurrentNote();
  // Gives a note added without an ID (m_bIDPending) a new unique one.
  void EnsureNoteID() {
    if (m_bIDPending) GiveNoteNewID();
  }
  void GiveNoteNewID();

  // Reading helpers (rich text).
  bool OnRichTagBegin(unsigned int token, const char* tag, const std::string& params);
  bool OnRichTagEnd(unsigned int token, const char* tag);
  bool OnNamedTagBegin(const char* tag);
  bool OnNamedTagEnd(const char* tag);
  void OnInlineBegin(int beginTag, bool& flag);
  void OnInlineEnd(int beginTag, bool& flag, const char* name);
  void OnFontBegin(const std::string& params);
  void OnFontEnd();
  void OnSpanBegin(const std::string& params);
  void OnSpanEnd();
  void OnParagraphBegin(const std::string& params);
  void OnParagraphEnd();
  void OnListBegin();
  void OnListEnd();
  void OnLineBegin();
  void OnLineEnd();
  void OnLinkBegin(const std::string& params);
  void OnLinkEnd();
  void OnTextEnd();
  bool ApplyStyleBackground(const std::string& style, std::vector<int>& opened, bool paragraph);
  bool ApplyStyleColor(const std::string& style, std::vector<int>& opened, bool paragraph);
  void ApplyStyleFont(const std::string& font, std::vector<int>& opened);
  void CloseRecordedTags(std::vector<int>& tags, int offset);
  bool RangeIsBlank(int start) const;
  void AppendNoteText(const std::string& text);
  void AppendLineBreak();
  void AppendBulletLineBreak();
  void AppendTag(const FmtInfo& info);
  void AppendTag(int tag, int offset);
  void RemoveTag(int idx);
  void InsertTagSorted(const FmtInfo& info);
  int OpenBegin(int beginTag) const;
  void RebuildOpenTags();
  void AddAttachment();
  void AddLink(NoteNode& note, std::string url, const std::string& target);
  void SetCustomIcon(NoteNode& note, const std::string& name, const std::string& bytes, bool png, int encodedLen);

 protected:

  static void AppendHeadMeta(std::string& head, const NoteDocument& doc);
  int AppendTitleSpans(const NoteNode& note, std::string& out) const;

  // The note a link to id reaches in the document: id itself, else its
  // substitute when that one exists.
  std::string ResolveExportTarget(const std::string& id) const;
  // The reference an export writes for a link to a note (or an anchor) of
  // this document: "#" and the target on a single page; with frames the
  // target's page, and for an anchor the page of the note holding it plus
  // "#" and the anchor (nothing but that fragment on the note's own page).
  std::string ExportNoteRef(const std::string& id, const NoteNode& note) const;
  // Whether a link leads into the export: every link that is not internal,
  // and internal links whose target (or its substitute ID, or for an anchor
  // the note holding it) is walked.
  bool IsLinkValidOnExport(const LinkInfo& link, NoteDocument& doc, const RecursiveTreeWalker& walker) const;

  // ---- Export mode ----
  // The writer runs in export mode when m_bExport is set; what only an export
  // writes (side folder, style sheet, table of contents, frames, side files)
  // comes through these hooks, which FormatIO_HTMLExport overrides. This class
  // alone cannot export: PrepareExportFolders refuses, so the others are
  // never reached in export mode.
  virtual int PrepareExportFolders();
  virtual bool SaveExportHeader(RecursiveTreeWalker& walker, IOProcess& io);
  virtual bool WriteExportContents(DocumentIterator& it, IOProcess& io, RecursiveTreeWalker& walker);
  virtual void AppendExportNodeTitle(const RecursiveTreeWalker& walker, NoteNode& note, int level, int depth,
                                     bool first, std::string& out);
  virtual std::string ExportListOpen(const RecursiveTreeWalker& walker, int depth) const;
  // Raises the note's hook; true when the note went to a page of its own
  // (frames), so that nothing of it goes to the main page.
  virtual bool FinishExportNote(const RecursiveTreeWalker& walker, NoteNode& note, std::string& html);
  virtual void EncodePictureFile(const std::string& noteID, const PixInfo& pix, const char* data, size_t len,
                                 bool png, std::string& out);
  virtual std::string WriteAttachmentFile(const AttInfo& att);

  // ---- Rendering notes on worker threads (native files only) ----
  //
  // Notes are independent once the walk has fixed their order: this writer
  // takes the walk in batches and fixes each note's list markup (the open
  // lists live on this thread), a few worker threads render the notes of a
  // batch, each through a FormatIO_HTML of its own (its scratch state is its
  // own; it holds copies of this writer's settings and reads the document),
  // and this writer writes the notes in walk order, with progress and cancel
  // as the sequential walk has them, while the workers render the notes
  // after them (two batches are in flight; this writer waits only for the
  // note it is about to write, and renders others while it waits). The
  // bytes are those WriteNote writes.
  //
  // Shared state: while workers run, the document and its notes are only
  // read, by every thread. Whatever changes state stays on this thread:
  // fetching notes from a database (such documents are written
  // sequentially), clones (questions, conversions, lookups through the
  // document's caches), custom icons and pictures that must be encoded (the
  // note is then rendered here, when its turn to be written comes), and the
  // list structure. An export (side files, hooks) always runs on one thread.
  // The workers' renderers are plain FormatIO_HTML objects: a subclass whose
  // encoding steps differ outside an export must keep to one thread too.
  // Errors: a worker's exception is rethrown on this thread (NoteWorkerPool);
  // cancel and write errors stop the walk here, and the workers are joined
  // before WriteNotesInParallel returns.
  //
  // The number of worker threads for this walk; 0 = write on this thread.
  int ParallelRenderThreads(const RecursiveTreeWalker& walker, bool exp) const;
  // Writes the whole walk as WriteLevel's loop does; false when it stopped
  // (m_nSaveError tells why). count receives the notes written.
  bool WriteNotesInParallel(DocumentIterator& it, IOProcess& io, RecursiveTreeWalker& walker, int threads,
                            int& count);
  // Whether a note can be rendered on a worker thread (see above).
  static bool RendersOffMainThread(const NoteNode& note);
  // Takes over the settings a note's rendering reads from the writer w: its
  // document and its HtmlFormatSettings, whole.
  void CopyRenderSettings(const FormatIO_HTML& w);
  // Fixes note idx's place in the walk into f: depth, children and, when
  // the notes are written as nested lists, the lists closed and opened
  // before it and those it ends (m_arOpenLists follows). In walk order, on
  // the writer's thread.
  void PlaceNote(DocumentIterator& it, IOProcess& io, const RecursiveTreeWalker& walker, int idx, tNoteFrame& f);
  // Renders note f.nIdx into f.strOut: a note of a native file, as
  // WriteNote writes it (WriteNote itself renders through it). onMain: this is the writer's own thread (the note is fetched,
  // and a clone resolved, as WriteNote does); otherwise the note must be one
  // RendersOffMainThread accepts. False when the save must stop.
  bool RenderNativeNote(DocumentIterator& it, IOProcess& io, RecursiveTreeWalker& walker, tNoteFrame& f,
                        bool onMain);

  // Writing helpers.
  void PrepareWriteOptions(NoteDocument& doc, bool keepBodyOnly);
  void ResetWriteRunState();
  bool WriteDocumentComments(RecursiveTreeWalker& walker, IOProcess& io);
  bool ResolveClone(const RecursiveTreeWalker& walker, NoteNode& note, bool properties, bool& converted);
  void AppendCustomIcon(NoteNode& note, bool exp, std::string& out);
  void CloseListsAbove(const RecursiveTreeWalker& walker, int depth, std::string& out);
  std::string RebaseFileLink(const std::string& url) const;
  void AppendExportText(std::string& out, const std::string& conv, bool afterParagraph, bool lineStart) const;

  struct tLinkState {
    bool bInLink = false;
    std::string strUrl, strData, strTitle, strHash, strCode, strTarget;
    int nStart = -1;
  };
  void SaveLinkState(tLinkState& s) const;
  void RestoreLinkState(const tLinkState& s);

  // ---- Reader settings (kept across loads) ----
 public:
  // From this many notes in the document on, the formatting repair at the
  // end of a load runs on worker threads (NoteWorkerPool); the result is
  // the same either way.
  static constexpr int kParallelRepairMin = 2048;
  int m_nParallelRepairMin = kParallelRepairMin;

 protected:
  // ---- The reader's own working state ----
  std::vector<int> m_arParentStack;  // parents to climb back to at </DL>
  int m_nLoadParentIdx;              // the load's parent: </DL> never climbs above it
  int m_nInsertPos;                  // current note's length in offsets
  int m_nSolidEnd;                   // offset after its last non-blank character
  int m_nBulletLinePos;              // offset of the last bullet line begun (-1: none)
  size_t m_nBulletLineByte;          // its byte position in the note's text
  size_t m_nBulletLinePics;          // the note's picture count when it began
  std::array<std::vector<int>, 18> m_arOpenTags;  // per kind (1..17): open begins
  tLinkState m_savedLink;            // a link interrupted by an anchor inside it
  bool m_bLinkSaved;
  bool m_bStructureSeen;             // BODY or DT met
  bool m_bContentBegun;              // BODY or body content met: blank text counts
  int m_nDupFoundIdx;                // a duplicate ID to report once the title is read
  std::string m_strDupID;
  bool m_bTitleSeen;                 // a TITLE element was read
  bool m_bUtf8Declared;              // META charset UTF-8: never ANSI text
  bool m_bDocValues;                 // document-level values may be applied
  bool m_bDocReadOnly;               // "property:read_only" for the document
  bool m_bLastNoteRead;
  bool m_bBodyEnded;                 // </BODY> or </HTML> was read
  // BODY showed this program's generator; unlike m_bForeignHtml, which a
  // table in a note turns on, it stays for the whole document.
  bool m_bOwnGenerator = false;
  int m_nPicturesLeftOut = 0;        // see PicturesLeftOut
  std::string m_strFirstLeftOut;
  int m_nLastNote;
  int64_t m_nInputSize;              // -1 when unknown
  // The current note was added without an ID, which its title anchor is
  // expected to give next; whatever else comes first gives it a new one.
  bool m_bIDPending = false;
  std::string m_strTagParams;        // the parameters of the start tag being handled
  int m_nCurNoteIdx = -1;            // the m_nNodeIdx that m_pCurNote answers
  NoteNode* m_pCurNote = nullptr;
  int m_nHashScanIdx;                // where UpdateHashes(true) resumes

  // ---- The writer's own working state ----
  std::vector<int> m_arOpenLists;    // relative depths of the open DL elements
  // While a note's zero-length markup (links, formatting, anchors) is being
  // collected for one merge: the batch the passes append to instead of
  // merging each on its own (see MergeOrDefer).
  std::vector<tSegmentInsert>* m_pDeferredItems = nullptr;
  std::string m_strCloneSourceOut;   // "clone_source" of the note being written

  // ---- The export's own working state (one run) ----
  int m_nExportIntroIdx = -1;        // the note written as the page's title and introduction
  struct tTocList {
    int nLevel;                      // table-of-contents level of the list's entries
    bool bInItem;                    // the list stands inside an item of the list below
  };
  std::vector<tTocList> m_arTocLists;  // open lists of the table of contents
  bool m_bTocItemOpen = false;       // the last entry's item is still open
  quillery::ExportFileNamer m_exportNames;  // side files written by this run
};
