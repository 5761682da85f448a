// The note tree of the native HTML format: one definition list per level,
// one DT per note (title and anchor), the note's properties in comments, its
// attachments, and a DD with its text and, for a note with children, the
// nested list of its children.
//
// Lists are tracked on a stack of the relative depths of the open DL
// elements, so a walk that skips notes still closes exactly the lists it
// opened and every note reloads under the note it was written under.

#include <cstdio>
#include <memory>

#include "base/FileUtil.h"
#include "base/Log.h"
#include "base/Progress.h"
#include "base/StringUtil.h"
#include "formats/native/FormatIOHtml.h"
#include "formats/native/HtmlExportNames.h"
#include "html/HtmlParser.h"
#include "html/HtmlWriteEscape.h"
#include "model/DocumentIterator.h"
#include "model/NoteDocument.h"
#include "model/NoteNode.h"
#include "model/RecursiveTreeWalker.h"
#include "model/FormatIO_DynamicBase.h"
#include "model/NodeInfoFlags.h"

using quillery::AppendAttrValue;
using quillery::AppendCommentValue;

namespace {

void AppendColorSpan(std::string& out, const char* prop, const GdkColor& c) {
  out += "<span style=\"";
  out += prop;
  out += ':';
  quillery::AppendHexColor(out, c.red, c.green, c.blue);
  out += "\">";
}

// "<!--property:NAME=VALUE-->\n" with the value kept inside the comment.
void AppendProperty(std::string& out, const char* name, const std::string& value) {
  out += "<!--";
  out += name;
  AppendCommentValue(out, value);
  out += "-->\n";
}

void AppendNumber(std::string& out, const char* name, long long value) {
  out += "<!--";
  out += name;
  quillery::AppendDecimal(out, value);
  out += "-->\n";
}

void AppendEscaped(std::string& out, const char* name, std::string value) {
  HTMLParser::EscapeChars(value);
  out += "<!--";
  out += name;
  out += value;
  out += "-->\n";
}

// An icon file inside the folder of the file being written is stored
// relative to it (where the reader resolves it, compared case-sensitively);
// any other path stays absolute.
std::string RelativeIconPath(const std::string& path, const std::string& target) {
  if (target.empty()) return path;
  std::string folder = GetParentDir(target, '/');
  if (path.size() <= folder.size() || path.compare(0, folder.size(), folder) != 0) return path;
  std::string rest = path.substr(folder.size());
  replaceall(rest, '\\', '/');
  return rest;
}

}  // namespace

void FormatIO_HTML::WriteLevel(DocumentIterator& it, IOProcess& io, RecursiveTreeWalker& walker, bool exp,
                               bool styled) {
  NoteDocument& doc = *GetDoc();
  const bool interactive = !m_bStringTarget;
  int count = 0;
  int previous = -1;
  m_arOpenLists.clear();
  const int threads = ParallelRenderThreads(walker, exp);
  if (threads > 0 && !styled) {
    if (!WriteNotesInParallel(it, io, walker, threads, count)) return;
  } else {
    for (int idx = walker.GetNextNode(); idx >= 0; idx = walker.GetNextNode()) {
      if (idx == m_nExportIntroIdx) continue;  // already written as the page's introduction
      if (interactive && m_bReportProgress && count % 15 == 0) ProgressInfo::SetCurrentSize(count);
      if (interactive && ProgressInfo::IsCanceled()) {
        m_nSaveError = DOC_SAVE_ABORTED;
        return;
      }
      ++count;
      WriteNote(it, io, walker, previous, idx, exp, styled, false);
      if (m_nSaveError == DOC_SAVE_WRITE_ERROR || m_nSaveError == DOC_SAVE_ABORTED) return;
    }
  }
  if (count != doc.GetNodeCount())
    xLog(LOG_DEBUG, "Wrote %d notes (out of total %d notes in document)\n", count, doc.GetNodeCount());
  if (m_bContentsOnly || m_opt.bHeadings || m_opt.bFrames) return;
  if (m_bExport) {
    // An exported page closes every list it opened, whatever the walk.
    std::string lists;
    CloseListsAbove(walker, -1, lists);
    if (!WriteString(io, lists.data(), static_cast<int>(lists.size()))) m_nSaveError = DOC_SAVE_WRITE_ERROR;
  } else if (count > 0 && walker.GetType() == WALK_ALL) {
    if (!WriteString(io, "</DL>\n", -1)) m_nSaveError = DOC_SAVE_WRITE_ERROR;
  }
}

namespace {

// Fetches what a note of a database-backed document lacks for the time it
// is written and releases it afterwards (unless it is the selected note).
// Parts in memory are the document's own, even when its file could not take
// a change of them: they are written as they are, never read over, and a
// note whose contents were in memory keeps them. Saving is not a selection:
// the current note stays what it was.
class NoteFetch {
 public:
  NoteFetch(NoteDocument& doc, int idx, unsigned int mask) : m_doc(doc), m_idx(idx) {
    FormatIO_Base* loader = doc.GetLoader();
    m_bDynamic = loader && loader->IsDynamic();
    const int current = doc.m_nCurrentNoteIdx;
    NoteNode& note = doc.GetNodeByIdx(idx);
    NoteNode& original = doc.GetOriginalByIdx(idx);
    m_bClone = note.IsClone();
    m_bKeep = ((note.m_nPartsInMemory | original.m_nPartsInMemory) & NIF_CONTENT) != 0;
    // A clone's own tags and custom properties go into its comments; the
    // rest of what it shows comes from its original.
    if (m_bDynamic && m_bClone)
      doc.OnNoteSelected(idx, mask & (NIF_TAGS | NIF_CUSTOM_PROPERTIES) & ~note.m_nPartsInMemory, false);
    m_pOriginal = &doc.OnNoteSelected(idx, mask & ~original.m_nPartsInMemory, true);
    doc.m_nCurrentNoteIdx = current;
  }
  ~NoteFetch() {
    if (m_bDynamic && !m_bKeep) m_doc.OnNoteDeselected(m_idx, m_bClone);
  }
  NoteFetch(const NoteFetch&) = delete;
  NoteFetch& operator=(const NoteFetch&) = delete;

  NoteNode& Original() const { return *m_pOriginal; }

 private:
  NoteDocument& m_doc;
  int m_idx;
  bool m_bDynamic = false;
  bool m_bClone = false;
  bool m_bKeep = false;  // the note's contents were in memory before
  NoteNode* m_pOriginal = nullptr;
};

}  // namespace

void FormatIO_HTML::WriteNote(DocumentIterator& it, IOProcess& io, RecursiveTreeWalker& walker, int& previous,
                              int idx, bool exp, bool styled, bool first) {
  if (!exp) {
    // A native note: the one renderer that the parallel walk uses too.
    tNoteFrame f;
    PlaceNote(it, io, walker, idx, f);
    if (!RenderNativeNote(it, io, walker, f, true)) return;
    if (!WriteString(io, f.strOut.data(), static_cast<int>(f.strOut.size()))) {
      m_nSaveError = DOC_SAVE_WRITE_ERROR;
      return;
    }
    previous = f.nDepth;
    return;
  }
  // An exported note (exp is set from here on; the conditions keep the
  // writer's general form).
  NoteDocument& doc = *GetDoc();
  const bool properties = !exp && !m_bContentsOnly && !m_bTitlesOnly;
  const bool attachments = !m_bExport && !m_bContentsOnly && !m_bTitlesOnly && !m_opt.bNoAttachments;
  // An export writes attachments inside the note's body (and needs their
  // bytes from a database-backed document as well).
  const bool exportAttachments = exp && m_bExport && !m_bContentsOnly && !m_bTitlesOnly && !m_opt.bNoAttachments;
  const bool listMarkup = !first && !m_bContentsOnly && !m_opt.bHeadings && !m_opt.bFrames;

  unsigned int mask = NIF_RICH_TEXT;
  if (properties || (exp && m_opt.bTagsAsClasses)) mask |= NIF_TAGS;
  if (properties) mask |= NIF_CUSTOM_PROPERTIES;
  if (attachments || exportAttachments) mask |= NIF_ATTACHMENTS;
  NoteFetch fetch(doc, idx, mask);
  NoteNode& note = doc.GetNodeByIdx(idx);
  NoteNode& original = fetch.Original();
  const int depth = walker.GetType() == WALK_LIST ? 0 : it.CalcNodeLevel(idx) - walker.GetStartIdxDepth();

  if (listMarkup) {
    std::string lists;
    CloseListsAbove(walker, depth, lists);
    if (m_arOpenLists.empty() || depth > m_arOpenLists.back()) {
      lists += exp && styled ? ExportListOpen(walker, depth) : "<DL>\n";
      m_arOpenLists.push_back(depth);
    }
    if (!WriteString(io, lists.data(), static_cast<int>(lists.size()))) {
      m_nSaveError = DOC_SAVE_WRITE_ERROR;
      return;
    }
  }

  std::string s;
  if (m_bWriteTitles) {
    WriteNodeTitle(walker, it, note, io, exp, styled, depth, idx, first, &s);
    if (m_nSaveError == DOC_SAVE_WRITE_ERROR) return;
  }
  const std::string tags = exp && m_opt.bTagsAsClasses ? quillery::ExportTagClasses(note.m_strKeywords) : "";
  const bool tagsDiv = exp && m_opt.bHeadings && !tags.empty();
  if (tagsDiv) s.insert(0, "<div class=\"" + tags + "\">\n");

  bool converted = false;
  if (!ResolveClone(walker, note, properties, converted)) return;

  if (properties) WriteNodeParameters(walker, note, io, &s);
  if (attachments) WriteNodeAttachments(original, io, exp, &s);

  std::string text;
  const bool keepsText = !note.IsClone() || converted || doc.m_nCloneMode == 4 || exp || m_bCloneContents;
  if (!m_bTitlesOnly && keepsText) SerializeNoteContents(original, exp, it, walker, text);

  const int children = it.GetChildCountByIdx(idx);
  // "Empty" means no markup at all: a note holding only a picture or an
  // anchor still needs its DD, or the reader takes the picture for an icon.
  if (listMarkup && (children > 0 || !text.empty() || exp))
    s += exp && styled && !tags.empty() ? "<DD class=\"" + tags + "\">\n" : std::string("<DD>\n");
  const bool bkg = original.m_bUseNoteBkgColor;
  if (!bkg && !exportAttachments && !(exp && first)) {
    // The usual case: the body is the text alone, copied once. The room for
    // the few closing tags that follow is taken with it.
    s.reserve(s.size() + text.size() + 32);
    s += text;
  } else {
    std::string body;
    if (bkg) {
      const GdkColor& c = original.m_clrNoteBkg;
      body += "<DIV class=\"note_bkg\" style=\"background-color:";
      quillery::AppendHexColor(body, c.red, c.green, c.blue);
      body += "\">";
    }
    const size_t bodyStart = body.size();
    if (exportAttachments) WriteNodeAttachments(original, io, exp, &body);
    body += text;
    const bool hasBody = body.size() > bodyStart;
    if (bkg) body += "</DIV>";
    if (exp && first) {
      // The introduction of a branch or single-note page, when it says anything.
      if (hasBody) s += "<div class=\"qy_intro\">" + body + "</div>\n";
    } else {
      s += body;
    }
  }
  if (exp && !first && !styled && !m_opt.bHeadings && !m_opt.bFrames) s += children == 0 ? "<BR>\n<BR>\n" : "<BR>\n";
  if (listMarkup) {
    // An exported note always has its DD, so it always closes it.
    if ((!text.empty() || exp) && children == 0) s += "\n</DD>\n";
    if (!TerminateBranchTags(walker, io, it, idx, depth, &s)) {
      m_nSaveError = DOC_SAVE_WRITE_ERROR;
      return;
    }
  }
  if (tagsDiv) s += "\n</div>\n";
  if (exp && m_bExport && FinishExportNote(walker, note, s)) {
    if (m_nSaveError == 0) previous = depth;
    return;
  }
  if (!WriteString(io, s.data(), static_cast<int>(s.size()))) {
    m_nSaveError = DOC_SAVE_WRITE_ERROR;
    return;
  }
  previous = depth;
}

void FormatIO_HTML::PlaceNote(DocumentIterator& it, IOProcess& io, const RecursiveTreeWalker& walker, int idx,
                              tNoteFrame& f) {
  f.nIdx = idx;
  f.nDepth = walker.GetType() == WALK_LIST ? 0 : it.CalcNodeLevel(idx) - walker.GetStartIdxDepth();
  f.nChildren = it.GetChildCountByIdx(idx);
  f.strOpen.clear();
  f.strClose.clear();
  if (m_bContentsOnly || m_opt.bHeadings || m_opt.bFrames) return;  // no list markup
  CloseListsAbove(walker, f.nDepth, f.strOpen);
  if (m_arOpenLists.empty() || f.nDepth > m_arOpenLists.back()) {
    f.strOpen += "<DL>\n";
    m_arOpenLists.push_back(f.nDepth);
  }
  TerminateBranchTags(walker, io, it, idx, f.nDepth, &f.strClose);
}

bool FormatIO_HTML::RenderNativeNote(DocumentIterator& it, IOProcess& io, RecursiveTreeWalker& walker, tNoteFrame& f,
                                     bool onMain) {
  // A native note (an export's note has its own steps in WriteNote); the
  // list markup comes from the frame. The walker, iterator and stream serve
  // clones only: a worker's note never reaches them.
  NoteDocument& doc = *GetDoc();
  const int idx = f.nIdx;
  const bool properties = !m_bContentsOnly && !m_bTitlesOnly;
  const bool attachments = !m_bExport && !m_bContentsOnly && !m_bTitlesOnly && !m_opt.bNoAttachments;
  const bool listMarkup = !m_bContentsOnly && !m_opt.bHeadings && !m_opt.bFrames;
  unsigned int mask = NIF_RICH_TEXT;
  if (properties) mask |= NIF_TAGS | NIF_CUSTOM_PROPERTIES;
  if (attachments) mask |= NIF_ATTACHMENTS;
  // Fetching marks the document's current note: this thread's business only.
  std::unique_ptr<NoteFetch> fetch(onMain ? new NoteFetch(doc, idx, mask) : nullptr);
  NoteNode& note = doc.GetNodeByIdx(idx);
  NoteNode& original = fetch ? fetch->Original() : note;

  std::string& s = f.strOut;
  s.clear();
  if (listMarkup) s += f.strOpen;
  if (m_bWriteTitles) WriteNodeTitle(walker, it, note, io, false, false, f.nDepth, idx, false, &s);
  bool converted = false;
  if (!ResolveClone(walker, note, properties, converted)) return false;
  if (properties) WriteNodeParameters(walker, note, io, &s);
  if (attachments) WriteNodeAttachments(original, io, false, &s);

  std::string text;
  const bool keepsText = !note.IsClone() || converted || doc.m_nCloneMode == 4 || m_bCloneContents;
  if (!m_bTitlesOnly && keepsText) SerializeNoteContents(original, false, it, walker, text);
  if (listMarkup && (f.nChildren > 0 || !text.empty())) s += "<DD>\n";
  s.reserve(s.size() + text.size() + 64 + f.strClose.size());
  if (original.m_bUseNoteBkgColor) {
    const GdkColor& c = original.m_clrNoteBkg;
    s += "<DIV class=\"note_bkg\" style=\"background-color:";
    quillery::AppendHexColor(s, c.red, c.green, c.blue);
    s += "\">";
    s += text;
    s += "</DIV>";
  } else {
    s += text;
  }
  if (listMarkup) {
    if (!text.empty() && f.nChildren == 0) s += "\n</DD>\n";
    s += f.strClose;
  }
  return true;
}

bool FormatIO_HTML::ResolveClone(const RecursiveTreeWalker& walker, NoteNode& note, bool properties,
                                 bool& converted) {
  converted = false;
  m_strCloneSourceOut.clear();
  if (!note.IsClone()) return true;
  NoteDocument& doc = *GetDoc();
  const std::string& source = note.m_strCloneOf;
  const bool outside = !walker.IsNoteWithinWalk(source);
  if (properties && doc.m_nCloneMode == 0 && !doc.m_bNoCloneQuestion && outside) {
    xLog(LOG_WARNING, "Note [%s](%s) is clone of [%s] which is not being exported, convert?\n",
         note.m_strID.c_str(), note.m_strTitle.c_str(), source.c_str());
    GuiControllerBase* gui = doc.GetGuiController();
    int answer = gui ? gui->ConvertClonesOnSave(note.m_strTitle.c_str()) : -1;
    if (answer < 0) {
      m_nSaveError = DOC_SAVE_ABORTED;
      return false;
    }
    doc.m_nCloneMode = answer;
  }
  const int mode = doc.m_nCloneMode;
  auto entry = doc.m_mapCloneConversion.find(source);
  const bool mapped = entry != doc.m_mapCloneConversion.end();
  converted = outside && (mode == 2 || (mode == 1 && (!mapped || entry->second == note.m_strID)));
  if (converted) {
    if (mode == 1 && !mapped) {
      doc.m_mapCloneConversion[source] = note.m_strID;
      xLog(LOG_WARNING,
           "Note [%s](%s) is clone of [%s] which is not being exported/missing, make an original note from it.\n",
           note.m_strID.c_str(), note.m_strTitle.c_str(), source.c_str());
    }
    return true;
  }
  if (mode == 1 && mapped) {
    xLog(LOG_WARNING,
         "Note [%s](%s) is clone of [%s] which is not being exported/missing, make an original note from it.\n",
         note.m_strID.c_str(), note.m_strTitle.c_str(), source.c_str());
    m_strCloneSourceOut = entry->second;
  } else {
    m_strCloneSourceOut = source;
  }
  return true;
}

void FormatIO_HTML::WriteNodeTitle(const RecursiveTreeWalker& walker, const DocumentIterator& it, NoteNode& note,
                                   IOProcess& io, bool exp, bool /*styled*/, int depth, int idx, bool first,
                                   std::string* out) {
  NoteDocument& doc = *GetDoc();
  if (note.IsClone()) {
    FormatIO_DynamicBase* dyn = doc.GetDynamicLoader();
    int origIdx = doc.GetIdxFromID(note.m_strCloneOf);
    if (dyn && origIdx >= 0) {
      NoteNode& original = doc.GetNodeByIdx(origIdx);
      dyn->FetchNodeInfo(original, NIF_ALL & ~original.m_nPartsInMemory);
    }
  }
  if (exp && m_bExport && !m_bContentsOnly) {
    std::string t;
    AppendExportNodeTitle(walker, note, it.CalcNodeLevel(idx), depth, first, t);
    if (out) {
      *out += t;
    } else if (!WriteString(io, t.data(), static_cast<int>(t.size()))) {
      m_nSaveError = DOC_SAVE_WRITE_ERROR;
    }
    return;
  }

  std::string title = note.m_strTitle;
  if (!exp) {
    replaceall(title, "\r\n", 2, "\r", 1);
    replaceall(title, '\r', '\n');
  } else {
    replaceall(title, '\n', ' ');
  }
  std::string titleHtml;
  quillery::AppendNoteText(titleHtml, title.data(), title.size(), false);

  // Straight into the caller's buffer when there is one.
  std::string local;
  std::string& s = out ? *out : local;
  int spans = 0;
  if (!m_bContentsOnly && !m_opt.bHeadings && !m_opt.bFrames) {
    if (!first) s += "<DT>";
    spans = AppendTitleSpans(note, s);
  }
  if (!m_bContentsOnly) {
    if (!m_opt.bFrames) {
      s += "<A name=\"";
      AppendAttrValue(s, note.m_strID);
      s += "\"></A>";
      if (note.m_nIconType == ICON_CUSTOM) AppendCustomIcon(note, exp, s);
    }
    const bool link = note.m_objLink.IsValid();
    if (link) {
      std::string ref = note.m_objLink.strLink;
      if (!note.m_objLink.strTargetID.empty()) ref += "#" + note.m_objLink.strTargetID;
      s += "<A href=\"";
      AppendAttrValue(s, ref);
      s += "\">";
    }
    s += titleHtml;
    if (link) s += "</A>";
    if (!m_opt.bFrames) {
      if (!m_opt.bHeadings)
        for (int i = 0; i < spans; ++i) s += "</span>\n";
      if (!first) s += "</DT>\n";
    }
  }
  if (!out && !WriteString(io, local.data(), static_cast<int>(local.size()))) m_nSaveError = DOC_SAVE_WRITE_ERROR;
}

int FormatIO_HTML::AppendTitleSpans(const NoteNode& note, std::string& s) const {
  int spans = 0;
  if (note.m_bUseTxtColor) {
    AppendColorSpan(s, "color", note.m_clrTxt);
    ++spans;
  }
  if (note.m_bUseBkgColor) {
    AppendColorSpan(s, "background-color", note.m_clrBkg);
    ++spans;
  }
  if (note.m_bUseFont) {
    s += "<span style=\"font:";
    AppendAttrValue(s, note.m_strCustomFont);
    s += "\">";
    ++spans;
  }
  return spans;
}

void FormatIO_HTML::AppendCustomIcon(NoteNode& note, bool exp, std::string& out) {
  NoteDocument& doc = *GetDoc();
  auto it = doc.m_mapNoteIcon.find(note.m_strID);
  if (it == doc.m_mapNoteIcon.end() || it->second < 0) return;
  int pos = doc.m_lstCustomIcons.FindAtOffset(it->second);
  if (pos < 0) return;
  PixInfo icon = doc.m_lstCustomIcons[pos];
  icon.strName = note.m_strID;
  std::string markup;
  EncodePicture(note.m_strID, icon, markup, exp);
  out += markup;
}

void FormatIO_HTML::WriteNodeParameters(const RecursiveTreeWalker& /*walker*/, NoteNode& note, IOProcess& io,
                                        std::string* out) {
  std::string local;
  std::string& s = out ? *out : local;
  if (note.m_nIconType == ICON_FILE) {
    AppendProperty(s, "property:icon_file=", RelativeIconPath(note.m_strIconPath, m_strPath));
  } else if (note.m_nIconType >= ICON_INTERNAL) {
    AppendProperty(s, "property:icon_internal=", note.m_strIconPath);
  }
  if (!note.m_strKeywords.empty()) AppendEscaped(s, "property:keywords=", note.m_strKeywords);
  if (!m_strCloneSourceOut.empty()) AppendProperty(s, "property:clone_source=", m_strCloneSourceOut);
  if (!note.m_strSourceLanguage.empty()) AppendEscaped(s, "property:syntax_highlight=", note.m_strSourceLanguage);
  if (note.m_bReadOnly) s += "<!--property:read_only-->\n";
  if (note.m_bTemplate) s += "<!--property:is_template-->\n";
  AppendNumber(s, "property:date_created=", note.m_nDateCreated);
  AppendNumber(s, "property:date_modified=", note.m_nDateModified);
  if (note.m_bFinished) s += "<!--property:finished=1-->\n";
  if (note.m_bExpanded) s += "<!--property:expanded-->\n";
  // A converted clone is written with its original's text, so it carries
  // the hashes of that text, not its own (stale or empty) ones.
  const NoteNode* hashes = &note;
  if (note.IsClone() && m_strCloneSourceOut.empty()) {
    int orig = GetDoc()->GetIdxFromID(note.m_strCloneOf);
    if (orig >= 0) hashes = &GetDoc()->GetNodeByIdx(orig);
  }
  AppendProperty(s, "property:hash=", hashes->m_strHash);
  AppendProperty(s, "property:hash_html=", hashes->m_strHashHtml);
  const Task& task = note.m_objTask;
  if (task.IsValid()) {
    if (!task.dateCreated.IsEmpty()) AppendNumber(s, "task:date_created=", task.dateCreated.GetValue());
    if (!task.dateDue.IsEmpty()) AppendNumber(s, "task:date_due=", task.dateDue.GetValue());
    if (!task.dateCompleted.IsEmpty()) AppendNumber(s, "task:date_completed=", task.dateCompleted.GetValue());
    if (!task.dateExpire.IsEmpty()) AppendNumber(s, "task:date_expire=", task.dateExpire.GetValue());
    if (!task.dateLastAck.IsEmpty()) AppendNumber(s, "task:date_last_acknowledged=", task.dateLastAck.GetValue());
    AppendNumber(s, "task:priority=", task.nPriority);
    AppendNumber(s, "task:status=", task.nStatus);
    if (!task.strSoundPath.empty()) AppendProperty(s, "task:sound_file=", task.strSoundPath);
    if (!task.strScriptPath.empty()) AppendProperty(s, "task:script_path=", task.strScriptPath);
    AppendNumber(s, "task:repeating=", task.nRepeat);
  }
  for (const CustomProperty& p : note.m_lstCustomProperties)
    quillery::AppendCustomPropertyComment(s, p.strName, p.strValue);
  if (!out && !WriteString(io, local.data(), static_cast<int>(local.size()))) m_nSaveError = DOC_SAVE_WRITE_ERROR;
}

void FormatIO_HTML::SerializeNoteContents(NoteNode& note, bool exp, DocumentIterator& it,
                                          RecursiveTreeWalker& walker, std::string& out) {
  const std::string& text = note.GetText();
  const RichText& rt = note.m_objText;
  tSegmentList segs;
  if (exp || !rt.m_lstPictures.IsEmpty()) {
    segs.reserve(std::max<size_t>(3 * (rt.m_lstPictures.GetSize() + rt.m_lstAnchors.GetSize() +
                                       2 * rt.m_lstLinks.GetSize() + 2 * rt.m_lstFmt.GetSize()) +
                                      1,
                                  50));
    if (!text.empty()) segs.emplace_back(text, true, rt.GetTextLen());
  }
  // Links, formatting and anchors all cover no position: one merge places
  // them all, each pass's items after the earlier passes' at one offset.
  std::vector<tSegmentInsert> items;
  const bool plain = !exp && rt.m_lstPictures.IsEmpty();
  if (!plain) SegmentListAddPictures(note, segs, exp);
  m_pDeferredItems = &items;
  SegmentListAddLinks(note, segs, exp, it, walker);
  SegmentListAddFormatting(note, segs, exp);
  SegmentListAddAnchors(note, segs, false);
  m_pDeferredItems = nullptr;
  if (plain) {
    // The common case renders straight from the note's text.
    quillery::RenderTextWithMarkup(text, rt.GetTextLen(), items, g_szBullet, out);
    return;
  }
  quillery::MergeIntoSegmentList(segs, items);
  SegmentListToString(segs, exp, out);
}

void FormatIO_HTML::CloseListsAbove(const RecursiveTreeWalker& walker, int depth, std::string& out) {
  while (!m_arOpenLists.empty() && m_arOpenLists.back() > depth) {
    m_arOpenLists.pop_back();
    out += "</DL>\n";
    // The DD of the note that held the list; at the walk's top level it is
    // closed only when the whole document is written.
    if (!m_arOpenLists.empty() && (m_arOpenLists.back() > 0 || walker.GetType() == WALK_ALL)) out += "</DD>\n";
  }
}

bool FormatIO_HTML::TerminateBranchTags(const RecursiveTreeWalker& walker, IOProcess& io,
                                        const DocumentIterator& it, int idx, int depth, std::string* out) {
  NoteDocument& doc = *GetDoc();
  if (depth < 0) depth = walker.CalcRelativeDepth(idx);
  // Count the levels of the document tree that end after this note: a note
  // ends its parent's list when it is the last child and (for the note
  // itself) has no children of its own.
  int ending = 0;
  int current = idx;
  int remaining = depth;
  const int ownChildren = it.GetChildCountByIdx(idx);
  while (current >= 0) {
    if (--remaining < 0) break;
    const NoteNode& node = doc.GetNodeByIdx(current);
    int parent = doc.GetIdxFromID(node.m_strParentID);
    if (parent < 0) break;
    const int children = current == idx ? ownChildren : 0;
    if (node.m_nSibling != it.GetChildCountByIdx(parent) - 1 || children != 0) break;
    ++ending;
    current = parent;
  }
  if (out) {
    if (ending > 0) CloseListsAbove(walker, depth - ending, *out);
    return true;
  }
  std::string s;
  if (ending > 0) CloseListsAbove(walker, depth - ending, s);
  return WriteString(io, s.data(), static_cast<int>(s.size()));
}
