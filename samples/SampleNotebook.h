#pragma once

// The realistic sample document with every feature, used by the
// command-line host's `generate` command, the demo, the format benchmarks and
// tests. (SampleDocument.h makes documents of a tunable shape - text size,
// tag and link counts - for throughput measurements of single stages.)
//
// N notes in an outline up to six levels deep, in depth-first order. Every
// note has a title, created and modified times and a few paragraphs of text
// (ASCII, accented, CJK and symbols, and the characters markup must escape).
// Across the notes the text carries every kind of formatting that the native
// format stores (bold, italic, underline, strike, colours, fonts, super- and
// subscript, right, centred and justified paragraphs, line spacing, bullet
// lists), internal, web and document links, anchors; every 20th note holds a
// picture (PNG and JPEG in turn), every 50th attachments (one of them empty);
// notes carry tags, tasks, custom properties, built-in and custom icons, title
// colours and fonts, background colours, flags and a few clones; the document
// has a title, author, UID, custom properties, bookmarks and deletion
// records. Everything is drawn from a seeded SplitMix64, so the same options
// give the same document, IDs included.
//
// Values are chosen so that the native format stores them exactly (colours
// with equal high and low bytes, line spacing 120/150/200, no left
// alignment or text indent, times below 2038, no alarm mode).

#include <cstdint>
#include <string>

class NoteDocument;

namespace quillery {

struct NotebookOptions {
  int nNotes = 1000;
  uint64_t nSeed = 1;
  int nMaxDepth = 6;          // levels 0 .. nMaxDepth - 1
  int nPictureEvery = 20;     // 0: no pictures
  int nAttachmentEvery = 50;  // 0: no attachments
  int nCloneEvery = 250;      // 0: no clones
  int nMaxParagraphs = 4;     // paragraphs per note: 1 .. this
  bool (*stop)() = nullptr;   // polled between notes: true leaves the document unfinished
};

// What a generated document holds, for reports.
struct NotebookStats {
  int nNotes = 0;
  int nMaxLevel = 0;  // deepest level, 0 = top
  int nPictures = 0;
  int nAttachments = 0;
  int nLinks = 0;
  int nAnchors = 0;
  int nFormatTags = 0;
  int nTasks = 0;
  int nClones = 0;
  int64_t nTextBytes = 0;
  bool bStopped = false;  // options.stop ended the generation: the document is incomplete
};

// Fills doc, which must be empty, with the sample document. The document has
// no path and counts as not modified afterwards.
NotebookStats MakeSampleNotebook(NoteDocument& doc, const NotebookOptions& options);

}  // namespace quillery
