#pragma once

// Field-by-field comparison of two documents, for round-trip checks: the
// tests, the command-line host's `compare` command and the demo use it.
//
// Equality means what a document file keeps, not how memory happens to look:
//   - document: title, author, UID, read-only flag, properties-modified time,
//     last-note index, custom properties, bookmarks, deletion records, the
//     anchor directory and the note count;
//   - notes are matched by ID (their order in the note list may differ); for
//     each: parent ID, sibling position, clone source, title, times, flags,
//     hashes, tags, source language, icon, custom properties, task, title
//     colours and font (when their flag is set), note background colour, own
//     link, attachments, and the rich text: text bytes, formatting tags,
//     links, anchors and pictures.
//   - A formatting tag is its number and offset, plus the attribute its kind
//     uses on the begin tag (colour, font, line spacing); end tags and other
//     kinds ignore the attribute fields. Colours compare red, green and blue.
//   - Pictures (and custom icons) are equal when their stored bytes are, or
//     else when they decode to the same pixels.
//   - A clone's own text, attachments, own link and note background are not
//     compared (its original's are what it shows, and what files store).
// Derived tables (tag and property use counts, tree caches), view state and
// the document's path, loader and modified flag are not compared.

#include <string>

class NoteDocument;

namespace quillery {

struct DocCompareOptions {
  bool bUID = true;        // the document UID (a save under a new name makes a new one)
  bool bDeletions = true;  // deleted-note and deleted-attachment records (dropped likewise)
  bool bHashes = true;     // notes' text and HTML hashes
  bool bLastNote = true;   // the last-note index
  bool (*stop)() = nullptr;  // polled between notes: true ends the comparison (false, "stopped")
};

// True when the documents are equal in the sense above. Otherwise false, and
// *firstDiff (when not null) gets one line that names the first difference,
// as "note 12 [ID] \"title\": formatting tag 3: offset 10 vs 11".
bool CompareDocuments(const NoteDocument& a, const NoteDocument& b, std::string* firstDiff,
                      const DocCompareOptions& options = DocCompareOptions());

}  // namespace quillery
