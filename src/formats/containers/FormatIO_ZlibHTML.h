#pragma once

// FormatIO_ZlibHTML: the compressed native format (".qyz", format 23): the native HTML
// text, deflated at level 4 with the zlib header, behind a 29-byte header:
//
//   offset 0  "QUILLERY"     8 bytes, no terminator
//   offset 8  "zlib1"        5 bytes (the only version: any other tag is refused)
//   offset 13 reserved       8 bytes, carried through unchanged
//   offset 21 stream size    unsigned 64-bit big-endian: the zlib stream's length
//   offset 29 the zlib stream
//
// Loading reads the markup through file -> zlib -> parser; the stored stream size only
// caps the input given to zlib (0 reads to the end, as a header whose patch never
// happened has it). A stream that does not reach its end is a damaged file (5). Saving
// writes zlib -> file into a fresh or truncated file (or after the end of an existing
// one with append) and patches the stream size last.
//
// Ownership and locks: like the native format, the object keeps the document file open
// after a successful load (shared flock) and after a successful save (exclusive flock
// while writing, shared afterwards), until its next load, a save, or its destruction.
// A save never writes through a kept descriptor: the kept file is released and the path
// reopened. A failed save leaves nothing behind: a created file is removed, an appended
// container is cut off again.
//
// Invariant: m_reserved holds the reserved bytes of the last file loaded (zeros for a
// new object) and is what Save writes.

#include <cstdint>

#include "formats/native/FormatIOHtml.h"

class FormatIO_ZlibHTML : public FormatIO_HTML {
 public:
  static constexpr int kHeaderSize = 29;
  static constexpr int kStreamSizeOffset = 21;

  FormatIO_ZlibHTML();
  ~FormatIO_ZlibHTML() override;

  // 0, 1 cancelled, 2 missing, 5 not a readable container (bad magic, a tag other
  // than "zlib1", short header, damaged or unfinished stream, no document inside),
  // 7 unreadable, 8 the inflate
  // stream could not be set up, 12 out of memory.
  int Load(const char* path, NoteDocument& doc, int parentIdx) override;
  int Save(const char* path, RecursiveTreeWalker& walker) override;
  // 0, 1 cancelled, 4 cannot open, 7 a seek failed, 10 a write failed, 12 out of
  // memory.
  int Save(const char* path, RecursiveTreeWalker& walker, bool append);
  int GetFormat() override { return FORMAT_QYZ; }
  // Writes the decompressed markup of src into dst (created 0600); the password is not
  // used. True when the whole stream decoded and dst was written; a damaged stream
  // still leaves what decoded in dst, another version's tag nothing.
  bool DumpFile(const char* src, const char* dst, const char* password) override;

  int m_nVersion;                // 1: "zlib1" is the only version
  unsigned char m_reserved[8];
};
