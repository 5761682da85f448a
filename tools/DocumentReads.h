#pragma once

// Reading the note contents of a database-backed document (one that keeps
// them in its file until a note is selected) for the commands that look at
// every note, or that must know that every note reads. Free functions on
// the host's main thread; they own nothing. Both stop at Ctrl-C.

class NoteDocument;

namespace quillery_host {

// Fetches every part of every note into the document. False when Ctrl-C
// stopped it.
bool FetchAllNotes(NoteDocument& doc);

// Reads every part of every note as a copy of the document would, and
// keeps none of it: a part that cannot be read counts as a failed read
// (quillery::ReadFailures). Nothing is written to the file. False when
// Ctrl-C stopped it.
bool ReadEveryNote(NoteDocument& doc);

}  // namespace quillery_host
