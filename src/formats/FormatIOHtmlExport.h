#pragma once

// Process-wide values of the running HTML export (one save at a time per
// process) and the host hooks it raises through
// GuiControllerBase::HandleEvent.
//
// While the host handles an event, the matching pointer points to the text
// the export is about to write; the host may change that text. Every
// pointer is null again, and the two ID strings are empty, once
// HandleEvent has returned.

#include <string>

class GuiControllerBase;
class NoteDocument;
class NoteNode;

// Event 20: the page header (up to and with "</HEAD>") is complete.
extern std::string* g_pStrHeaderPreHtmlExport;
// Event 15: a note's HTML is complete; the note's ID and, when the walk has
// a start note, that note's ID are set beside it.
extern std::string* g_pStrNotePreHtmlExport;
extern std::string g_strNoteIDPreHtmlExport;
extern std::string g_strRootIDPreHtmlExport;
// Event 32: a note title is about to be written (page or frames tree).
extern std::string* g_pStrNoteTitlePreHtmlExport;

namespace quillery {

enum HtmlExportEvent {
  HTML_EXPORT_NOTE_DONE = 15,
  HTML_EXPORT_HEADER_DONE = 20,
  HTML_EXPORT_NOTE_TITLE = 32,
};

// Points slot at text for the time the host handles the event; the slot
// (and the two note ID strings) are cleared afterwards, also when the host
// throws. A null controller raises nothing.
void RaiseHtmlExportEvent(GuiControllerBase* gui, int event, std::string** slot, std::string* text);

// Sets g_strTabReplacement to the document's export tab size times
// "&nbsp;"; a size below 1 is first set to 4 in the document.
void PrepareTabReplacement(NoteDocument& doc);

// A note title as an export shows it: through the host's title hook (event
// 32), line ends turned into blanks, escaped.
std::string ExportNoteTitle(NoteDocument& doc, const NoteNode& note);

// The script that warning links call (links to notes outside the export).
extern const char kLinkWarningScript[];

// The HTML 4.01 Transitional document type declaration of exported pages.
extern const char kHtml401Doctype[];

}  // namespace quillery
