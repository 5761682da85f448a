#pragma once

// One note of a document: identity and tree position, title, rich text,
// attachments, task, tags, custom properties, icon, flags and colours.
//
// The note is a value: the document owns its notes in its note list. IDs are
// strings; an empty parent ID means the top level; sibling positions under
// one parent are 0..n-1. A clone is a note whose clone-source ID names its
// original; its own content is not authoritative.
//
// Threads: a plain value with no lock. Another thread may read a note while
// nobody changes it; a worker changes only the notes it was handed (the load
// finish's repair). Const reads fill one cache: the rich text's character
// count (RichText::GetTextLen), which the thread that hands a note to a
// worker takes first. CalcHtmlHash and SetText with compute render through
// the installed renderer, which swaps the text out for the rendering: the
// owning thread's business only.

#include <gdk/gdkcolor.h>

#include <cstdint>
#include <string>
#include <vector>

#include "model/AttInfo.h"
#include "model/CustomProperty.h"
#include "model/NodeInfoFlags.h"
#include "richtext/LinkInfo.h"
#include "richtext/RichText.h"
#include "model/Task.h"

class FormatIO_Base;

// Icon types of a note.
enum NoteIconType {
  ICON_CUSTOM = -3,    // picture from the document's custom-icon list
  ICON_NONE = -2,      // the value of a new note
  ICON_FILE = -1,      // icon file at m_strIconPath
  ICON_INTERNAL = 0,   // 0 or more: built-in icon by index (InternalIcons.h)
};

class NoteNode {
 public:
  NoteNode();

  const std::string& GetTitle() const { return m_strTitle; }
  void SetTitle(const std::string& title) { m_strTitle = title; }
  void SetTitle(const char* title) { m_strTitle = title ? title : ""; }

  // The plain text (pictures are not in it).
  const std::string& GetText() const { return m_objText.GetText(); }
  // Replaces the text (null = empty). A non-empty hash argument is stored as
  // it is; an empty or null one is, when compute is set, computed from the
  // note's state now: the text hash from the text, the HTML hash from
  // RichText2Html of the note. Without compute an empty hash stays empty, and
  // so does the HTML hash when the note cannot be rendered (see CalcHtmlHash).
  void SetText(const char* text, const char* hash = nullptr, const char* htmlHash = nullptr,
               bool compute = false);

  // SHA-1 of the input bytes as 40 lower-case hex digits.
  static void CalcDataHash(const std::string& input, std::string& out);
  static void CalcDataHash(const char* data, size_t len, std::string& out);
  // The HTML hash: CalcDataHash of RichText2Html of the note. Returns 0, or
  // RichText2Html's failure (logged) with out left unchanged.
  int CalcHtmlHash(std::string& out);

  bool IsClone() const { return !m_strCloneOf.empty(); }
  bool HasAttachments() const { return m_bHasAttachments || !m_lstAttachments.empty(); }

  // Tags, held as ";a;b;".
  const std::string& GetKeywords() const { return m_strKeywords; }
  void SetKeywords(const std::string& keywords) { m_strKeywords = keywords; }
  const std::string& GetSourceLanguage() const { return m_strSourceLanguage; }
  void SetSourceLanguage(const std::string& lang) { m_strSourceLanguage = lang; }

  // Repairs the rich text (rules below); each dropped picture is reported to
  // loader through OnNodePixRemoved when loader is a dynamic format. Returns
  // true when anything changed.
  //
  // Repair rules (conservative: valid data is never reordered or dropped):
  //  1. Pictures: a picture at a negative offset, at an offset already taken
  //     by an earlier picture of the list, or past the end of the text
  //     (fewer text characters before it than its offset implies) is
  //     dropped.
  //  2. Links of the text: dropped when their offset is negative, their
  //     length below 1, or their range ends past GetTotalLength().
  //  3. Anchors: dropped when their offset is negative or past
  //     GetTotalLength().
  //  4. Formatting: tags with an unknown number or an offset outside
  //     0..GetTotalLength() are dropped; the list is stably sorted by offset
  //     when it is not sorted; then the tags are matched:
  //     - an end tag without an open begin of its kind is dropped;
  //     - a begin tag without a later end of its kind is dropped;
  //     - an empty range (begin and its end at one offset) is dropped;
  //     - a begin of a kind that is already open closes the open range at
  //       that offset and reopens it (same attributes) after the inner
  //       range's end, so a kind never nests in itself;
  //     - closing a span kind (colour, background, font, line spacing)
  //       while span kinds opened after it are still open closes those
  //       first and reopens them at the same offset, so spans never cross;
  //     - at one offset end tags come before begin tags, and the ends close
  //       in reverse order of their begins.
  bool FixFormatting(FormatIO_Base* loader);

  // Frees the fetched content (rich text, attachments, own link) so that the
  // next selection fetches it again; keepSelection false also resets the
  // selection and scroll position.
  void Clear(bool keepSelection);
  // Copies another note's content and properties, not its ID, parent ID or
  // sibling position.
  void CopyData(const NoteNode& other);

  // Identity and tree.
  std::string m_strID;
  std::string m_strParentID;  // empty = top level
  int m_nSibling = 0;
  std::string m_strCloneOf;   // clone-source ID; empty = not a clone

  // Content.
  std::string m_strTitle;
  RichText m_objText;
  LinkInfo m_objLink;                      // the note's own link, offset -1
  std::vector<AttInfo> m_lstAttachments;
  bool m_bHasAttachments = false;          // the file holds attachments (maybe not fetched)
  // The parts (NodeInfoFlags) in memory, whose values are the note's own,
  // edited or not. A note made in memory has all; a dynamic format's load
  // leaves out NIF_CONTENT, its fetches add what they read, Clear drops
  // NIF_CONTENT again. Once the file lost a change, a copy of the document
  // takes only the other parts from it.
  unsigned int m_nPartsInMemory = NIF_ALL;

  // Icon.
  int m_nIconType = ICON_NONE;
  std::string m_strIconPath;               // icon file, built-in name, or custom index

  // Times (seconds since the epoch) and flags.
  int64_t m_nDateCreated = 0;
  int64_t m_nDateModified = 0;
  bool m_bFinished = false;
  bool m_bExpanded = false;
  bool m_bReadOnly = false;
  bool m_bTemplate = false;
  bool m_bMarked = false;                  // selects the note for a Marked walk

  // Hashes: 40 lower-case hex digits, empty = not computed.
  std::string m_strHash;
  std::string m_strHashHtml;

  Task m_objTask;
  std::string m_strKeywords;
  std::string m_strSourceLanguage;
  std::vector<CustomProperty> m_lstCustomProperties;

  // Custom title colours and font, and the note background colour.
  bool m_bUseTxtColor = false;
  bool m_bUseBkgColor = false;
  bool m_bUseFont = false;
  bool m_bUseNoteBkgColor = false;
  GdkColor m_clrTxt;
  GdkColor m_clrBkg;
  GdkColor m_clrNoteBkg;
  std::string m_strCustomFont;

  // View state, reset by Clear(false).
  int m_nSelStart = 0;
  int m_nSelEnd = 0;
  int m_nScrollPos = 0;
};

// The note's rich text as HTML, written by the native HTML writer into out.
// The model stands below the formats, so the program installs the writer's
// renderer here (formats/native/NativeRenderer.h, called where the formats
// are registered) before any hash is computed. Returns 0 (DOC_SAVE_OK), else
// a DocSaveResult with out empty and the cause logged: DOC_SAVE_UNKNOWN_FORMAT
// when no renderer is installed, or the writer's own failure. An empty out
// with 0 is a note without text markup; never hash out after a failure.
int RichText2Html(NoteNode& note, bool flag, std::string& out);
using RichTextRenderer = int (*)(NoteNode& note, bool flag, std::string& out);
// Installs the renderer (null removes it). Call before threads use notes:
// reading it is safe from any thread, but install it once, at start-up.
void SetRichTextRenderer(RichTextRenderer renderer);

// Makes a non-empty ";"-separated tag list start and end with ";"; an empty
// string stays empty.
void tag_list_quote(std::string& tags);
