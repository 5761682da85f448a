#pragma once

// Helpers for the HTML writer tests: a temporary folder, documents with fixed
// IDs, and rendering through the writer.

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "common/NoteBuilder.h"
#include "common/TempDir.h"
#include "formats/native/FormatIOHtml.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"

namespace qytest {

using quillery_test::AddNote;
using quillery_test::TempDir;

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

inline FmtInfo Tag(int tag, int offset) { return FmtInfo(tag, offset); }

// The note comments of a note with default properties.
inline std::string DefaultComments() {
  return "<!--property:date_created=0-->\n<!--property:date_modified=0-->\n"
         "<!--property:hash=-->\n<!--property:hash_html=-->\n";
}

// A whole save into a string with the given walk (default: All).
inline std::string SaveString(NoteDocument& doc, int walkType = WALK_ALL, int start = -1) {
  RecursiveTreeWalker walker(doc, walkType, start);
  FormatIO_HTML fmt;
  std::string out;
  int rc = fmt.SaveToString(out, doc, walker);
  if (rc != 0) return "error " + std::to_string(rc);
  return out;
}

// The text markup of one note, as RichText2Html renders it.
inline std::string NoteHtml(NoteNode& note) {
  std::string out;
  EXPECT_EQ(RichText2Html(note, true, out), 0);
  return out;
}

// The standard envelope before the notes, for a document with the given UID
// and note count and no other document data.
inline std::string Header(const std::string& uid, int noteCount) {
  return "<!DOCTYPE Quillery-File>\n<HTML>\n<HEAD>\n"
         "<meta content=\"text/html;charset=UTF-8\" http-equiv=\"Content-Type\">\n"
         "<meta name=\"generator\" content=\"Quillery Pro 4.5.5\">\n"
         "<meta name=\"format_version\" content=\"4.5.1\">\n"
         "</HEAD>\n<BODY>\n<!--property:UID=" +
         uid + "-->\n<!--property:prop_modified=0-->\n<!--property:note_count=" + std::to_string(noteCount) +
         "-->\n";
}

}  // namespace qytest
