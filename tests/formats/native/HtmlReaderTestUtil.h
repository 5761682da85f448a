#pragma once

// Helpers for the HTML reader tests: loading markup from strings and files,
// and a few shorthands for inspecting the loaded notes.

#include <fstream>
#include <string>

#include "common/TempDir.h"
#include "formats/native/FormatIOHtml.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"

namespace qyread {

using quillery_test::TempDir;

inline void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary);
  out << data;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A native document: the writer's envelope around the given body.
inline std::string Native(const std::string& body, const std::string& head = std::string()) {
  return "<!DOCTYPE Quillery-File>\n<HTML>\n<HEAD>\n"
         "<meta content=\"text/html;charset=UTF-8\" http-equiv=\"Content-Type\">\n"
         "<meta name=\"generator\" content=\"Quillery Pro 4.5.5\">\n"
         "<meta name=\"format_version\" content=\"4.5.1\">\n" +
         head + "</HEAD>\n<BODY>\n" + body + "</BODY>\n</HTML>\n";
}

// One top-level note with the given title and text markup.
inline std::string OneNote(const std::string& text, const std::string& title = "T",
                           const std::string& id = "ID1") {
  return Native("<DL>\n<DT><A name=\"" + id + "\"></A>" + title + "</DT>\n<DD>\n" + text + "\n</DD>\n</DL>\n");
}

// Loads markup through LoadFromString; returns the result code.
inline int LoadString(NoteDocument& doc, const std::string& html, FormatIO_HTML* fmt = nullptr) {
  FormatIO_HTML local;
  FormatIO_HTML& f = fmt ? *fmt : local;
  std::string text = html;
  return f.LoadFromString(text, doc);
}

// Loads markup from a file written into dir under name.
inline int LoadFile(NoteDocument& doc, const TempDir& dir, const std::string& name, const std::string& html,
                    FormatIO_HTML* fmt = nullptr) {
  WriteFile(dir / name, html);
  FormatIO_HTML local;
  FormatIO_HTML& f = fmt ? *fmt : local;
  return f.Load((dir / name).c_str(), doc, -1);
}

// Saves the whole document through the writer into a string.
inline std::string SaveString(NoteDocument& doc) {
  RecursiveTreeWalker walker(doc, WALK_ALL, -1);
  FormatIO_HTML fmt;
  std::string out;
  int rc = fmt.SaveToString(out, doc, walker);
  return rc == 0 ? out : "error " + std::to_string(rc);
}

inline const FmtInfo& TagAt(NoteNode& n, int i) { return n.m_objText.m_lstFmt[i]; }

}  // namespace qyread
