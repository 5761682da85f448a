// Document and tree markup of the native HTML reader: the tag dispatch, HTML,
// HEAD, TITLE, META, BODY, DL, DT, DD, the note-ID anchor in DT, the note
// background DIV, and the property comments of the document and its notes.

#include <glib.h>
#include <glib/gstdio.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "base/FileUtil.h"
#include "base/Log.h"
#include "base/StringUtil.h"
#include "formats/native/FormatIOHtml.h"
#include "formats/native/HtmlReaderHelpers.h"
#include "html/HtmlTextUtils.h"
#include "html/HtmlTokens.h"
#include "model/InternalIcons.h"
#include "model/NoteDocument.h"
#include "model/NoteNode.h"

namespace {

// Comments are matched against long chains of prefixes: the first byte
// turns most of them away without a call.
template <size_t N>
bool Eat(const char*& text, const char (&prefix)[N]) {
  if (text[0] != prefix[0] || strncmp(text, prefix, N - 1) != 0) return false;
  text += N - 1;
  return true;
}

constexpr size_t kKeepParamsCapacity = 1 << 16;

bool NameIs(const char* tag, const char* name) { return g_ascii_strcasecmp(tag, name) == 0; }

// The note tree and the page body: never skipped inside a figure.
bool IsTreeTag(unsigned int token) {
  return token == HTML_TOKEN_DL || token == HTML_TOKEN_DT || token == HTML_TOKEN_DD || token == HTML_TOKEN_BODY;
}

// Elements of the page around the text (before BODY): blank text between
// them is layout, not content.
bool IsEnvelopeTag(unsigned int token, const char* tag) {
  switch (token) {
    case HTML_TOKEN_HTML:
    case HTML_TOKEN_HEAD:
    case HTML_TOKEN_META:
    case HTML_TOKEN_TITLE:
      return true;
    case HTML_TOKEN_UNKNOWN:
      return NameIs(tag, "!DOCTYPE") || NameIs(tag, "link") || NameIs(tag, "base") || NameIs(tag, "style") ||
             NameIs(tag, "script");
    default:
      return false;
  }
}

// Numbers from files: leading decimal digits as atoi/atol read them, without
// the locale and without overflow.
int64_t ParseInt64(const char* s) { return g_ascii_strtoll(s, nullptr, 10); }
int ParseInt(const char* s) {
  const int64_t v = ParseInt64(s);
  if (v < INT_MIN) return INT_MIN;
  if (v > INT_MAX) return INT_MAX;
  return static_cast<int>(v);
}

// A comment value written as it stands: only a "-->" inside it was escaped
// (so that the comment could not end early).
std::string RawValue(const char* s) {
  std::string v(s);
  if (v.find("--&gt;") != std::string::npos) replaceall(v, "--&gt;", -1, "-->", -1);
  return v;
}

std::string Decoded(const char* s) {
  std::string v(s);
  HTMLParser::UnescapeChars(v);
  return v;
}

// Every run of ";" becomes one ";", in one pass.
void CollapseSeparators(std::string& tags) {
  std::string out;
  out.reserve(tags.size());
  for (char c : tags)
    if (c != ';' || out.empty() || out.back() != ';') out += c;
  tags.swap(out);
}

}  // namespace

// ---------------------------------------------------------------------------
// Note state

NoteNode* FormatIO_HTML::LookUpCurrentNote() {
  m_nCurNoteIdx = m_nNodeIdx;
  m_pCurNote = (!m_pDoc || m_nNodeIdx < 0 || m_nNodeIdx >= m_pDoc->GetNodeCount()) ? nullptr
                                                                                  : &m_pDoc->GetNodeByIdx(m_nNodeIdx);
  return m_pCurNote;
}

void FormatIO_HTML::GiveNoteNewID() {
  m_bIDPending = false;
  NoteNode* note = CurrentNote();
  if (!note || !note->m_strID.empty()) return;
  std::string id;
  m_pDoc->GenerateUniqueNodeID(id);
  m_pDoc->NodeInitID(m_nNodeIdx, id);
}

void FormatIO_HTML::StartNote(int idx) {
  m_bIDPending = false;
  m_nNodeIdx = idx;
  m_nTextPos = 0;
  m_nSolidEnd = 0;
  m_nBulletLinePos = -1;
  m_nInsertPos = m_pDoc->GetNodeByIdx(idx).m_objText.GetTotalLength();
  RebuildOpenTags();
}

void FormatIO_HTML::ResetOpenElements() {
  m_bInBold = m_bInItalic = m_bInUnderline = m_bInStrike = false;
  m_bInColor = m_bInBkgColor = false;
  m_bInAlignRight = m_bInAlignCenter = false;
  m_bInBulletList = m_bInBulletLine = false;
  m_bInScript = m_bInStyle = false;
  m_bInPicture = m_bInFigure = m_bInFigCaption = false;
  m_clrFont = GdkColor();
  m_mapSpanTags.clear();
  m_arParagraphTags.clear();
  ResetLinkState();
  m_bLinkSaved = false;
}

void FormatIO_HTML::EnsureContentsNote() {
  if (!m_bContentsOnly || m_bNoNewNote || m_nNodeIdx >= 0 || !m_pDoc) return;
  NoteDocument& doc = *m_pDoc;
  const std::string parentID = m_nLoadParentIdx >= 0 ? doc.GetNodeByIdx(m_nLoadParentIdx).m_strID : std::string();
  const int idx = doc.NodeInsert(parentID, -1, true, true);
  StartNote(idx);
  m_nSection = 2;
  std::string title = GetTitleName(m_strPath);
  if (title.empty()) {
    GuiControllerBase* gui = doc.GetGuiController();
    title = gui ? gui->GetDefaultNoteTitle() : "New note";
  }
  doc.GetNodeByIdx(idx).SetTitle(title);
}

// ---------------------------------------------------------------------------
// Tag dispatch

void FormatIO_HTML::OnTagBegin(const char* tag, const char* params, bool /*selfClosing*/) {
  ++m_nTagCount;
  if (!m_pDoc || !tag) return;
  const unsigned int token = HtmlTokenFromName(tag);
  // The title anchor (possibly inside the title's style spans) names the
  // note; nothing before it asks for the note's ID.
  if (m_bIDPending && !(m_nSection == 1 && (token == HTML_TOKEN_A || token == HTML_TOKEN_SPAN))) GiveNoteNewID();
  EnsureContentsNote();
  // An unclosed figure never swallows the notes that follow it.
  if (m_bInFigure && !NameIs(tag, "figcaption") && !IsTreeTag(token)) {
    xLog(LOG_DEBUG, "Skip start tag [%s] found within a 'figure' block\n", tag);
    return;
  }
  // One buffer for every tag's parameters: no allocation per tag. A huge
  // one (an embedded picture) is not kept beyond the next tag.
  std::string& p = m_strTagParams;
  if (p.capacity() > kKeepParamsCapacity) std::string().swap(p);
  p.assign(params ? params : "");
  if (IsRawInput()) quillery::AnsiInputToUtf8(p);
  if (!m_bContentBegun && !IsEnvelopeTag(token, tag)) m_bContentBegun = true;
  switch (token) {
    case HTML_TOKEN_DL:
    case HTML_TOKEN_DT:
    case HTML_TOKEN_DD:
    case HTML_TOKEN_META:
    case HTML_TOKEN_TITLE:
    case HTML_TOKEN_BODY:
    case HTML_TOKEN_DIV:
      OnStructureTagBegin(token, tag, p);
      return;
    case HTML_TOKEN_A:
      if (m_nSection == 1 && CurrentNote()) {
        OnTitleAnchor(p);
        return;
      }
      break;
    default:
      break;
  }
  if (!OnRichTagBegin(token, tag, p)) OnNamedTagBegin(tag);
}

void FormatIO_HTML::OnTagEnd(const char* tag) {
  if (!m_pDoc || !tag) return;
  EnsureNoteID();
  EnsureContentsNote();
  const unsigned int token = HtmlTokenFromName(tag);
  if (m_bInFigure && !NameIs(tag, "figure") && !NameIs(tag, "figcaption") && !IsTreeTag(token)) {
    xLog(LOG_DEBUG, "Skip end tag [%s] found within a 'figure' block\n", tag);
    return;
  }
  switch (token) {
    case HTML_TOKEN_DL:
      // Climbs back to where the matching DL started, never above the
      // load's own parent.
      if (!m_bNoNewNote && !m_arParentStack.empty()) {
        m_nParentIdx = m_arParentStack.back();
        m_arParentStack.pop_back();
      }
      return;
    case HTML_TOKEN_DT:
      ReportDuplicateID();
      return;
    case HTML_TOKEN_DD:
      if (CurrentNote()) OnTextEnd();
      return;
    case HTML_TOKEN_TITLE:
      if (m_nSection == 3) m_nSection = (m_bContentsOnly || m_bNoNewNote) ? 2 : 0;
      return;
    case HTML_TOKEN_BODY:
    case HTML_TOKEN_HTML:
      // The last note ends with the body: text after it (a trailing blank
      // line added by an editor, junk appended to the file) would otherwise
      // land in the last note's title or text.
      m_bBodyEnded = true;
      if (!m_bContentsOnly && !m_bNoNewNote) {
        if (m_nNodeIdx >= 0 && m_nSection == 2) OnTextEnd();
        m_nSection = 0;
      }
      return;
    case HTML_TOKEN_HEAD:
    case HTML_TOKEN_PRE:
      return;
    default:
      break;
  }
  if (!OnRichTagEnd(token, tag)) OnNamedTagEnd(tag);
}

void FormatIO_HTML::OnStructureTagBegin(unsigned int token, const char* /*tag*/, const std::string& params) {
  NoteDocument& doc = *m_pDoc;
  const bool tree = !m_bContentsOnly && !m_bNoNewNote;
  if (tree && (token == HTML_TOKEN_DL || token == HTML_TOKEN_DT || token == HTML_TOKEN_DD)) ReportDuplicateID();
  switch (token) {
    case HTML_TOKEN_DL:
      if (!tree) return;
      m_arParentStack.push_back(m_nParentIdx);
      if (m_nNodeIdx >= 0) {
        // The note becomes a parent: it is complete now (its text ends
        // here), so a dynamic document receives parents too.
        if (m_nSection == 2) OnTextEnd();
        else if (m_bInBulletLine || m_bInBulletList) FixBulletedList();
        OnNoteCompleted();
        m_nParentIdx = m_nNodeIdx;
        m_nNodeIdx = -1;
      }
      return;
    case HTML_TOKEN_DT: {
      if (!tree) return;
      m_bStructureSeen = true;
      if (m_nNodeIdx >= 0 && m_nSection == 2) OnTextEnd();
      OnNoteCompleted();
      const std::string parentID = m_nParentIdx >= 0 ? doc.GetNodeByIdx(m_nParentIdx).m_strID : std::string();
      // The note's ID normally follows in its title anchor: a new one made
      // now would only be replaced. A dynamic document is told of the note
      // at once, so it gets one at once.
      const bool idFollows = !doc.GetDynamicLoader();
      StartNote(doc.NodeInsert(parentID, -1, true, true, !idFollows));
      m_bIDPending = idFollows;
      ResetOpenElements();
      m_nSection = 1;
      return;
    }
    case HTML_TOKEN_DD:
      if (!tree) return;
      m_nSection = 2;
      ResetOpenElements();
      return;
    case HTML_TOKEN_META:
      OnMeta(params);
      return;
    case HTML_TOKEN_TITLE:
      // While pasting the TITLE text is dropped, never added to the note.
      m_nSection = 3;
      m_bTitleSeen = true;
      m_strDocTitle.clear();
      return;
    case HTML_TOKEN_BODY:
      OnBody();
      return;
    case HTML_TOKEN_DIV: {
      NoteNode* note = CurrentNote();
      if (!note) return;
      if (m_bForeignHtml) AppendLineBreak();
      std::string cls, style, value;
      GdkColor color = GdkColor();
      if (HTMLParser::ExtractParam(params, "class", cls) && cls == "note_bkg" &&
          HTMLParser::ExtractParam(params, "style", style) &&
          HTMLParser::ExtractParamValue(style, "background-color", value) && parse_gtk_color(value.c_str(), color)) {
        note->m_clrNoteBkg = color;
        note->m_bUseNoteBkgColor = true;
      }
      return;
    }
    default:
      return;
  }
}

void FormatIO_HTML::OnMeta(const std::string& params) {
  size_t pos = params.find("name=\"generator\"");
  if (pos != std::string::npos) {
    pos = params.find("content=\"", pos);
    if (pos == std::string::npos) return;
    pos += 9;
    const size_t end = params.find('"', pos);
    const std::string value = params.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    const size_t blank = value.rfind(' ');
    if (blank != std::string::npos) {
      m_strGenerator = value.substr(0, blank);
      m_strGeneratorVersion = value.substr(blank + 1);
    }
    return;
  }
  pos = params.find("name=\"format_version\"");
  if (pos != std::string::npos) {
    pos = params.find("content=\"", pos);
    if (pos == std::string::npos) return;
    pos += 9;
    const size_t end = params.find('"', pos);
    m_strFormatVersion = params.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    return;
  }
  std::string value, content;
  std::string codePage;
  if (HTMLParser::ExtractParam(params, "http-equiv", value) && g_ascii_strcasecmp(value.c_str(), "content-type") == 0) {
    HTMLParser::ExtractParam(params, "content", content);
    const size_t cs = content.find("charset=");
    if (cs == std::string::npos) return;
    codePage = content.substr(cs + 8);
    const size_t semi = codePage.find(';');
    if (semi != std::string::npos) codePage.erase(semi);
  } else if (HTMLParser::ExtractParam(params, "charset", value)) {
    codePage = value;
  } else {
    if (HTMLParser::ExtractParam(params, "name", value) && g_ascii_strcasecmp(value.c_str(), "author") == 0 &&
        m_bDocValues) {
      HTMLParser::ExtractParam(params, "content", content);
      m_pDoc->SetAuthor(content);
    }
    return;
  }
  trimstring(codePage);
  m_strCodePage = codePage;
  if (g_ascii_strcasecmp(codePage.c_str(), "UTF-8") == 0 || g_ascii_strcasecmp(codePage.c_str(), "UTF8") == 0) {
    // A file that says it is UTF-8 is read as UTF-8, whatever mode the
    // extension suggested.
    m_bUtf8Declared = true;
    m_bMakeValidUtf8 = true;
  }
}

void FormatIO_HTML::OnBody() {
  m_bStructureSeen = true;
  m_bForeignHtml = m_strGenerator.empty() || m_strGeneratorVersion.empty() ||
                   m_strGenerator.find("Quillery") == std::string::npos;
  m_bOwnGenerator = !m_bForeignHtml;
  if (m_bDocValues && m_bTitleSeen) m_pDoc->SetTitle(m_strDocTitle);
  if (!m_bContentsOnly && !m_bNoNewNote) {
    OnNoteCompleted();
    m_nNodeIdx = -1;
    m_nSection = 0;
  } else {
    m_nSection = 2;
  }
  m_nLinkStart = -1;
  m_nTextPos = 0;
  ResetOpenElements();
}

void FormatIO_HTML::OnTitleAnchor(const std::string& params) {
  NoteDocument& doc = *m_pDoc;
  NoteNode& note = doc.GetNodeByIdx(m_nNodeIdx);
  ResetLinkState();
  m_strLinkUrl = params;
  std::string id;
  if (HTMLParser::ExtractParam(params, "name", id)) {
    if (!id.empty()) {
      const int found = doc.GetIdxFromID(id);
      if (found < 0) {
        doc.NodeInitID(m_nNodeIdx, id);
        m_bIDPending = false;
      } else if (found != m_nNodeIdx) {
        EnsureNoteID();
        m_mapRemappedIDs[id] = note.m_strID;
        // Reported when the note's title has been read.
        m_nDupFoundIdx = found;
        m_strDupID = id;
      }
    }
    m_strLinkUrl.clear();
  } else {
    HTMLParser::ExtractParam(params, "title", m_strAttTitle);
  }
  EnsureNoteID();
  ExtractLink(params, true);
  HTMLParser::ExtractParam(params, "hash", m_strAttHash);
  HTMLParser::ExtractParam(params, "code", m_strAttCode);
  HTMLParser::ExtractParam(params, "target", m_strAttTarget);
}

void FormatIO_HTML::ReportDuplicateID() {
  if (m_nDupFoundIdx < 0) return;
  NoteDocument& doc = *m_pDoc;
  if (NoteNode* note = CurrentNote())
    xLog(LOG_WARNING, "Two notes with same ID (%s): [%s][%s]. New one changed to: (%s).\n", m_strDupID.c_str(),
         doc.GetNodeByIdx(m_nDupFoundIdx).GetTitle().c_str(), note->GetTitle().c_str(), note->m_strID.c_str());
  m_nDupFoundIdx = -1;
  m_strDupID.clear();
}

// ---------------------------------------------------------------------------
// Comments

void FormatIO_HTML::OnComment(const char* text) {
  // Pasted markup describes other notes and another document: its
  // properties never reach the note that receives the text.
  if (!m_pDoc || !text || m_bNoNewNote) return;
  EnsureNoteID();
  std::string converted;
  const char* t = text;
  if (IsRawInput()) {
    converted = text;
    quillery::AnsiInputToUtf8(converted);
    t = converted.c_str();
  }
  NoteNode* note = CurrentNote();
  if (Eat(t, "LastNote:")) {
    if (m_bDocValues) {
      m_bLastNoteRead = true;
      m_nLastNote = ParseInt(t);
    }
  } else if (Eat(t, "property:")) {
    OnPropertyComment(t, note);
  } else if (Eat(t, "task:")) {
    if (note) OnTaskComment(t, *note);
  } else if (Eat(t, "custom-property")) {
    OnCustomProperty(t, note);
  }
}

void FormatIO_HTML::OnPropertyComment(const char* r, NoteNode* note) {
  NoteDocument& doc = *m_pDoc;
  if (Eat(r, "UID=")) {
    if (m_bDocValues) doc.SetUID(RawValue(r));
  } else if (Eat(r, "note_deleted=")) {
    if (m_bDocValues) doc.m_mapDeletedNotes[RawValue(r)] = 1;
  } else if (Eat(r, "att_deleted=")) {
    if (m_bDocValues) doc.m_mapDeletedAttachments[RawValue(r)] = 1;
  } else if (Eat(r, "icon_file=")) {
    if (note) SetIconFile(*note, RawValue(r));
  } else if (Eat(r, "icon_internal=")) {
    if (!note) return;
    const std::string name = RawValue(r);
    const int index = InternalIcon_Name2Index(name);
    if (index >= 0) {
      note->m_nIconType = index;
      note->m_strIconPath = name;
    }
  } else if (Eat(r, "keywords=")) {
    if (note) AddKeywords(*note, r);
  } else if (Eat(r, "date_created=")) {
    if (note) note->m_nDateCreated = ParseInt64(r);
  } else if (Eat(r, "date_modified=")) {
    if (note) note->m_nDateModified = ParseInt64(r);
  } else if (Eat(r, "finished=")) {
    if (note) note->m_bFinished = ParseInt(r) != 0;
  } else if (Eat(r, "read_only")) {
    if (note) note->m_bReadOnly = true;
    else if (m_bDocValues) m_bDocReadOnly = true;  // applied once the notes are in
  } else if (Eat(r, "prop_modified=")) {
    if (!note && m_bDocValues) doc.m_nPropModifiedTime = ParseInt64(r);
  } else if (Eat(r, "note_count=")) {
    // Only a count the input could hold is a useful reservation.
    const int n = ParseInt(r);
    if (!note && n >= 1 && m_nInputSize > 0 && n <= m_nInputSize / 20) doc.ReserveNotesMemory(doc.GetNodeCount() + n);
  } else if (Eat(r, "is_template")) {
    if (note) note->m_bTemplate = true;
  } else if (Eat(r, "expanded")) {
    if (note) note->m_bExpanded = true;
  } else if (Eat(r, "bookmark:")) {
    if (!m_bDocValues) return;
    const std::string v = RawValue(r);
    const size_t semi = v.find(';');
    if (semi != std::string::npos) doc.GetBookmarkList().Insert(v.substr(semi + 1), v.substr(0, semi), -1);
  } else if (Eat(r, "clone_source=")) {
    if (note) note->m_strCloneOf = Decoded(r);
  } else if (Eat(r, "syntax_highlight=")) {
    if (note) note->SetSourceLanguage(Decoded(r));
  } else if (Eat(r, "hash=")) {
    if (note) note->m_strHash = RawValue(r);
  } else if (Eat(r, "hash_html=")) {
    if (note) note->m_strHashHtml = RawValue(r);
  }
}

void FormatIO_HTML::OnTaskComment(const char* r, NoteNode& note) {
  Task& task = note.m_objTask;
  if (Eat(r, "date_created=")) task.dateCreated = ParseInt64(r);
  else if (Eat(r, "date_due=")) task.dateDue = ParseInt64(r);
  else if (Eat(r, "date_completed=")) task.dateCompleted = ParseInt64(r);
  else if (Eat(r, "date_expire=")) task.dateExpire = ParseInt64(r);
  else if (Eat(r, "priority=")) task.nPriority = ParseInt(r);
  else if (Eat(r, "status=")) task.nStatus = ParseInt(r);
  else if (Eat(r, "repeating=")) task.nRepeat = ParseInt(r);
  else if (Eat(r, "date_last_acknowledged=")) task.dateLastAck = ParseInt64(r);
  else if (Eat(r, "sound_file=")) task.strSoundPath = RawValue(r);
  else if (Eat(r, "script_path=")) task.strScriptPath = RawValue(r);
  else return;
  task.SetValid(true);
}

void FormatIO_HTML::OnCustomProperty(const char* rest, NoteNode* note) {
  if (!note && !m_bDocValues) return;
  const std::string params(rest);
  std::string name, value;
  // ExtractParam decodes the entities once, as the writer escaped them once.
  if (!HTMLParser::ExtractParam(params, "name", name)) return;
  HTMLParser::ExtractParam(params, "value", value);
  std::vector<CustomProperty>& list = note ? note->m_lstCustomProperties : m_pDoc->m_lstCustomProperties;
  bool replaced = false;
  for (CustomProperty& p : list)
    if (p.strName == name) {
      p.strValue = value;
      replaced = true;
      break;
    }
  if (!replaced) list.emplace_back(name, value);
  ++m_pDoc->m_mapCustomPropNameCount[name];
}

void FormatIO_HTML::SetIconFile(NoteNode& note, const std::string& path) {
  note.m_nIconType = ICON_FILE;
  note.m_strIconPath = path;
  if (path.size() > 1 && path[0] != '/' && path[1] != ':') {
    // Relative to the folder of the file being read.
    const std::string& base = m_strPath.empty() ? m_pDoc->GetPath() : m_strPath;
    const std::string joined = GetParentDir(base, '/') + path;
    if (g_access(joined.c_str(), F_OK) == 0) note.m_strIconPath = joined;
  }
}

void FormatIO_HTML::AddKeywords(NoteNode& note, const char* value) {
  if (note.IsClone()) return;
  std::string tags = Decoded(value);
  CollapseSeparators(tags);
  if (tags.empty() || tags == ";") return;
  std::string all = note.GetKeywords();
  if (!all.empty()) all += ';';
  all += tags;
  CollapseSeparators(all);
  note.SetKeywords(all);
  NoteNode counted;
  counted.SetKeywords(tags);
  m_pDoc->UpdateNodeKeywordsMap(counted, m_pDoc->m_mapTagUseCount, true, false);
}
