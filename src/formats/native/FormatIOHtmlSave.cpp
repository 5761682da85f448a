// Saving the native HTML format: the entry points Save and SaveToString, the
// shared core WriteDocContents, the document header with the document
// comments, and WriteString.
//
// A save holds its output open with an exclusive flock while it writes and
// keeps it open with a shared flock afterwards, so another process can tell
// that the document is in use. A save that fails (cancel, refused clone
// question, write error) holds nothing and removes its output, unless the
// output was given to it (FormatIO_Base::SetOutputFile), whose owner does.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "base/FileUtil.h"
#include "base/Log.h"
#include "base/StringUtil.h"
#include "base/Progress.h"
#include "save/SafeSave.h"
#include "formats/native/FormatIOHtml.h"
#include "html/HtmlParser.h"
#include "html/HtmlWriteEscape.h"
#include "io/IOLayerFile64.h"
#include "io/IOLayerString.h"
#include "io/IOLayerThread.h"
#include "io/IOProcess.h"
#include "model/DocumentIterator.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"

using quillery::AppendCommentValue;

std::string g_strTabReplacement;
bool g_bExportFrames = false;
bool g_bExportTagsAsCSSClasses = false;
std::string FormatIO_HTML::_strExportSubName;
std::string FormatIO_HTML::_strExportSubDir;

namespace {

const char kGeneratorName[] = "Quillery Pro";
const char kGeneratorVersion[] = "4.5.5";
const char kFormatVersion[] = "4.5.1";

}  // namespace

void FormatIO_HTML::PrepareWriteOptions(NoteDocument& doc, bool keepBodyOnly) {
  // Export options shape only exports. A native file written with any of
  // them would read back without notes (headings, frames), as foreign HTML
  // (body only) or without attachments.
  m_opt = HtmlWriteOptions();
  if (m_bExport) {
    m_opt.bFrames = doc.bExportFrames;
    m_opt.bHeadings = doc.bExportHeadings;
    m_opt.bNumbered = doc.bExportNumbered;
    m_opt.strCss = doc.strExportCss;
    m_opt.nTocDepth = doc.nExportTocDepth;
    m_opt.bNoAttachments = doc.bExportNoAttachments;
    m_opt.bTagsAsClasses = g_bExportTagsAsCSSClasses;
  }
  m_bBodyOnly = (m_bExport || keepBodyOnly) && doc.bExportContentsOnly;
  m_bPicturesToFiles = m_bExport && doc.bExportPicturesToFiles;
  m_bAttachmentsToFiles = m_bPicturesToFiles;
  g_bExportFrames = m_opt.bFrames;
}

void FormatIO_HTML::ResetWriteRunState() {
  m_bAttachmentsToFiles = false;
  m_nExportedPictures = 0;
  m_nExportedAttachments = 0;
  m_arExtImages.clear();
  m_mapSpanTags.clear();
  m_arParagraphTags.clear();
  m_nFirstNewIdx = -1;
  m_arOpenLists.clear();
  m_strCloneSourceOut.clear();
  m_nExportIntroIdx = -1;
  m_arTocLists.clear();
  m_bTocItemOpen = false;
  m_exportNames.Reset();
}

int FormatIO_HTML::Save(const char* path, RecursiveTreeWalker& walker) {
  NoteDocument& doc = walker.GetDocument();
  xLog(LOG_INFO, "HTML::Save Start (%d notes in a doc)\n", doc.GetNodeCount());
  // A held file (an earlier save or load) is released first: the output is
  // the file made for this save (or the path, truncated), never an old
  // descriptor.
  ReleaseFile();
  m_strPath = path ? path : "";
  BeginNativeSave(doc);

  // The file's writes run on a worker thread while the notes are rendered.
  IOProcess io(IOLayerBase::MODE_WRITE);
  IOLayerThread* handOff = new IOLayerThread;
  io.PushLayer(handOff);
  IOLayerFile64* layer = new IOLayerFile64;
  io.PushLayer(layer);
  File64& out = layer->GetFile();
  if (!OpenOutput(out, m_strPath.c_str(), F64_WRITE | F64_SHARE_READ | F64_OPEN_ALWAYS | F64_OPEN_EXISTING)) {
    xLog(LOG_INFO, "HTML::Save End (err. opening output file)\n");
    return DOC_SAVE_NOT_OPEN;
  }
  if (!m_bExport) {
    m_file = out;
    m_file.Lock(true);  // a refused lock does not stop the save
    m_bFileLocked = true;
  } else if ((m_nSaveError = PrepareExportFolders()) != 0) {
    // Nothing of the page was written: no empty page stays behind.
    io.CleanLayerList();
    if (OwnsOutput()) remove(m_strPath.c_str());
    xLog(LOG_INFO, "HTML::Save End\n");
    return m_nSaveError;
  }
  xLog(LOG_INFO, "HTML::Save Start writing contents\n");
  WriteDocContents(io, walker);
  if (m_nSaveError != 0) handOff->Cancel();  // nothing more of a failed save is written
  // Every byte must reach the disk before the save counts: the file stage
  // reports a failed flush, the held copy no longer buffers anything.
  if (io.Finalize() < 0 || io.HasError() || (m_bFileLocked ? !out.Detach() : !out.Close())) SetChainFailure(io);
  xLog(LOG_INFO, "HTML::Save End writing contents\n");

  if (m_nSaveError != 0) {
    xLog(LOG_INFO, "HTML::Save abort (cleanup)\n");
    io.CleanLayerList();
    ReleaseFile();
    if (OwnsOutput()) remove(m_strPath.c_str());
  } else if (m_bFileLocked) {
    m_file.Unlock();
    m_file.Lock(false);
  }
  xLog(LOG_INFO, "HTML::Save End\n");
  return m_nSaveError;
}

void FormatIO_HTML::BeginNativeSave(NoteDocument& doc) {
  SetDoc(doc);
  ResetWriteRunState();
  m_bStringTarget = false;
  PrepareWriteOptions(doc, false);
  if (!m_bExport) {
    _strExportSubName.clear();
    _strExportSubDir.clear();
  }
  m_nSaveError = 0;
}

namespace {

// A failed write names the system's cause (a full disk, a file-size limit)
// where a stage recorded one.
void TellWriteCause(const IOProcess& io) {
  const int cause = io.GetErrorCause();
  if (cause != 0 && cause != EIO && cause != ENOMEM) quillery::SetFailureReason(quillery::ReasonForErrno(cause));
}

}  // namespace

void FormatIO_HTML::SetChainFailure(const IOProcess& io) {
  if (io.GetErrorCause() == ENOMEM) {
    xLog(LOG_ERROR, "HTML::Save: out of memory\n");
    quillery::SetFailureReason("out of memory");
    m_nSaveError = DOC_SAVE_NO_MEMORY;
  } else if (m_nSaveError == 0) {
    m_nSaveError = DOC_SAVE_WRITE_ERROR;
    TellWriteCause(io);
  }
}

int FormatIO_HTML::SaveToString(std::string& outText, NoteDocument& doc, RecursiveTreeWalker& walker) {
  try {
    SetDoc(doc);
    ResetWriteRunState();
    // A string rendering (a note's HTML for its hash among them) must not
    // depend on a save's progress or on a cancel flag left set.
    m_bStringTarget = true;
    m_nSaveError = 0;
    PrepareWriteOptions(doc, true);
    // A string has no side folder: no frames pages, no files beside it.
    g_bExportFrames = false;
    m_opt.bFrames = false;
    m_bPicturesToFiles = false;
    m_bAttachmentsToFiles = false;
    IOProcess io(IOLayerBase::MODE_WRITE);
    IOLayerString* layer = new IOLayerString;
    io.PushLayer(layer);
    WriteDocContents(io, walker);
    io.Finalize();
    m_bStringTarget = false;
    if (m_nSaveError != 0) return m_nSaveError;
    outText.swap(layer->GetBuffer());
    return 0;
  } catch (const std::bad_alloc&) {
    m_bStringTarget = false;
    xLog(LOG_ERROR, "Out of memory when saving document to HTML string.\n");
    return DOC_SAVE_NO_MEMORY;
  }
}

bool FormatIO_HTML::WriteDocContents(IOProcess& io, RecursiveTreeWalker& walker) {
  NoteDocument* doc = GetDoc();
  if (!doc) {
    xLog(LOG_WARNING, "ERROR: document pointer missing!\n");
    if (m_nSaveError == 0) m_nSaveError = DOC_SAVE_ERROR;
    return false;
  }
  DocumentIterator it(*doc);
  if (m_bReportProgress && !m_bStringTarget) ProgressInfo::SetTotalSize(walker.GetTotalNoteCount());
  if (!SaveDocumentHeader(walker, io)) return false;
  if (m_bExport) return WriteExportContents(it, io, walker);
  const bool styled = !m_opt.strCss.empty();
  const bool frames = m_opt.bFrames;
  // The table of contents, frames and the title page of a branch export
  // belong to the export writer. The walk starts from its beginning, so a
  // walker can serve more than one save.
  walker.Restart();
  if (styled && !frames && !WriteString(io, "<div class=\"qy_content\">\n", -1)) {
    m_nSaveError = DOC_SAVE_WRITE_ERROR;
    return false;
  }
  WriteLevel(it, io, walker, m_bExport, styled);
  if (m_nSaveError != 0) {
    xLog(LOG_DEBUG, "HTML::Save write contents (exit on err.)\n");
    return false;
  }
  if (styled && !frames && !WriteString(io, "</div>\n", -1)) {
    m_nSaveError = DOC_SAVE_WRITE_ERROR;
    return false;
  }
  if (!m_bBodyOnly && !frames && !WriteString(io, "</BODY>\n</HTML>\n", -1)) {
    m_nSaveError = DOC_SAVE_WRITE_ERROR;
    return false;
  }
  return true;
}

namespace {

// The reader numbers notes in file order, which is the order of a whole-tree
// walk; the document's own note order may differ (notes added later, or read
// from a database), so the last note is written as its place in that walk.
// -1 when the walk does not reach it.
int WalkPosition(NoteDocument& doc, int idx) {
  RecursiveTreeWalker walk(doc, WALK_ALL);
  int position = 0;
  for (int i = walk.GetNextNode(); i >= 0; i = walk.GetNextNode(), ++position)
    if (i == idx) return position;
  return -1;
}

}  // namespace

bool FormatIO_HTML::SaveDocumentHeader(RecursiveTreeWalker& walker, IOProcess& io) {
  if (m_bExport) return SaveExportHeader(walker, io);
  NoteDocument& doc = *GetDoc();
  const bool all = walker.GetType() == WALK_ALL;
  std::string h;
  if (!m_bBodyOnly) {
    h += m_bRawText ? "<!DOCTYPE Brindlemar-File>\n" : "<!DOCTYPE Quillery-File>\n";
    if (!m_bContentsOnly && all && doc.m_nLastNoteIdx >= 0) {
      const int position = WalkPosition(doc, doc.m_nLastNoteIdx);
      if (position >= 0) h += "<!--LastNote:" + std::to_string(position) + "-->\n";
    }
  }
  if (!m_bBodyOnly) {
    AppendHeadMeta(h, doc);
    if (!m_bContentsOnly && !doc.GetTitle().empty()) {
      std::string title = doc.GetTitle();
      HTMLParser::EscapeChars(title);
      h += "<TITLE>" + title + "</TITLE>\n";
    }
  }
  quillery::PrepareTabReplacement(doc);
  // Export options never reach a native file (they are off outside an
  // export): no frames, style sheet or title block here.
  if (!m_bBodyOnly) h += "</HEAD>\n";
  if (!WriteString(io, h.data(), static_cast<int>(h.size()))) {
    m_nSaveError = DOC_SAVE_WRITE_ERROR;
    return false;
  }
  if (!m_bBodyOnly && (!WriteString(io, "<BODY", -1) || !WriteString(io, ">\n", -1))) {
    m_nSaveError = DOC_SAVE_WRITE_ERROR;
    return false;
  }
  if (!m_bContentsOnly && !WriteDocumentComments(walker, io)) {
    m_nSaveError = DOC_SAVE_WRITE_ERROR;
    return false;
  }
  return true;
}

void FormatIO_HTML::AppendHeadMeta(std::string& h, const NoteDocument& doc) {
  h += "<HTML>\n<HEAD>\n";
  h += "<meta content=\"text/html;charset=UTF-8\" http-equiv=\"Content-Type\">\n";
  h += std::string("<meta name=\"generator\" content=\"") + kGeneratorName + " " + kGeneratorVersion + "\">\n";
  h += std::string("<meta name=\"format_version\" content=\"") + kFormatVersion + "\">\n";
  if (!doc.GetAuthor().empty()) {
    std::string author = doc.GetAuthor();
    HTMLParser::EscapeChars(author);
    h += "<meta name=\"author\" content=\"" + author + "\">\n";
  }
}

bool FormatIO_HTML::WriteDocumentComments(RecursiveTreeWalker& walker, IOProcess& io) {
  NoteDocument& doc = *GetDoc();
  std::string c = "<!--property:UID=";
  AppendCommentValue(c, doc.GetUID());
  c += "-->\n";
  if (!WriteString(io, c.data(), static_cast<int>(c.size()))) return false;
  if (walker.GetType() != WALK_ALL) return true;
  // Each comment is written as soon as it is built: a document with many
  // deletion records never holds them all as one string.
  auto put = [&io](const std::string& line) { return WriteString(io, line.data(), static_cast<int>(line.size())); };
  if (doc.IsReadOnly() && !put("<!--property:read_only-->\n")) return false;
  if (!put("<!--property:prop_modified=" + std::to_string(static_cast<long long>(doc.m_nPropModifiedTime)) +
           "-->\n"))
    return false;
  if (!put("<!--property:note_count=" + std::to_string(doc.GetNodeCount()) + "-->\n")) return false;
  if (doc.m_bStoreBookmarks) {
    const BookmarkList& marks = doc.GetBookmarkList();
    for (int i = 0; i < marks.GetCount(); ++i) {
      std::string line = "<!--property:bookmark:";
      AppendCommentValue(line, marks.GetBookPath(i) + ";" + marks.GetBookTitle(i));
      line += "-->\n";
      if (!put(line)) return false;
    }
  }
  for (const CustomProperty& p : doc.m_lstCustomProperties) {
    std::string line;
    quillery::AppendCustomPropertyComment(line, p.strName, p.strValue);
    if (!put(line)) return false;
  }
  for (const auto& entry : doc.m_mapDeletedNotes) {
    std::string line = "<!--property:note_deleted=";
    AppendCommentValue(line, entry.first);
    line += "-->\n";
    if (!put(line)) return false;
  }
  for (const auto& entry : doc.m_mapDeletedAttachments) {
    std::string line = "<!--property:att_deleted=";
    AppendCommentValue(line, entry.first);
    line += "-->\n";
    if (!put(line)) return false;
  }
  return true;
}

bool FormatIO_HTML::WriteString(IOProcess& io, const char* text, int length) {
  if (length < 0) length = text ? static_cast<int>(strlen(text)) : 0;
  if (length == 0) return true;
  int written = io.Write(text, length);
  // A single file or string stage takes everything or fails; a chain with a
  // compressing or enciphering stage may hold bytes back and reports 0.
  if (!io.HasError() && (written == length || (written >= 0 && io.GetLayerCount() > 1))) return true;
  int64_t processed = io.GetLayerCount() > 0 ? io.GetLayer(0)->GetTotalIn() : 0;
  xLog(LOG_INFO, "HTML: writing failed, written %d byte out of %d sized chunk. Total processed bytes=%d (zlib=%d)\n",
       written, length, static_cast<int>(processed), io.GetLayerCount() > 1 ? 1 : 0);
  TellWriteCause(io);
  return false;
}
