#pragma once

// Names of what an HTML export writes beside its page: the side folder, the
// picture, attachment and note-page files, and the texts that go into
// attribute values and script strings of the export.
//
// Every file name made here is a single path component: names taken from
// a document (picture and attachment names, note IDs) can never reach
// outside the folder they are written into.

#include <string>
#include <unordered_map>
#include <unordered_set>

namespace quillery {

// The target path without a trailing ".part" (the safe-save suffix).
std::string ExportTargetPath(const std::string& path);

// The side folder's name: the target's last component without ".part" and
// without its extension, plus "_files".
std::string ExportSubName(const std::string& path);

// The side folder's full path with a trailing slash, next to the target (a
// target without a folder part gets a relative side folder).
std::string ExportSubDir(const std::string& path);

// A document-supplied name made safe as one file name: separators and
// control characters become '_', a name of only dots is refused, and an
// overlong name is shortened (keeping its extension) at a character
// boundary. Empty when nothing usable remains.
std::string SafeExportFileName(const std::string& name);

// The page file of a note in a frames export: the ID with '-', '/', '\\' and
// control characters written as '-' and two hex digits (so that IDs that
// differ only there keep pages of their own, and the ID can be read back),
// cut to a usable length, plus ".html".
std::string ExportPageName(const std::string& noteID);

// True for a link that would run script when clicked in a browser: the
// schemes "javascript:" and "vbscript:" in any letter case, and "data:" with
// anything but a picture, also behind the blanks, tabs and line breaks a
// browser skips.
bool IsScriptUrl(const std::string& url);

// One path component escaped for a URL (UTF-8 kept, reserved and unsafe
// ASCII characters %-escaped).
std::string UriEscapePathSegment(const std::string& segment);

// The class names made from a note's tag list: blanks become '_', ';'
// separates, trimmed, and escaped for an attribute value.
std::string ExportTagClasses(const std::string& tags);

// Text made safe inside a single-quoted script string: backslash, quote,
// line ends and the two Unicode line separators are escaped.
std::string JsStringEscape(const std::string& text);

// The files one export run has written, so that two pictures or two
// attachments of the same name never overwrite each other within a run.
// Paths are compared as given (the folder part is always the export's).
class ExportFileNamer {
 public:
  void Reset();
  bool IsTaken(const std::string& path) const { return m_taken.count(path) != 0; }
  void Take(const std::string& path) { m_taken.insert(path); }
  // The next attempt number for a name stem, starting at first; successive
  // calls never repeat a number, so a run of equal names stays linear.
  int NextAttempt(const std::string& stem, int first);

  // The page of a note in a frames export, fixed at its first use in the
  // run. Pages whose names differ only in letter case, or that were cut to
  // the same name, get a suffix "~2", "~3", ..., so that no page overwrites
  // another (also on file systems that ignore case).
  const std::string& PageName(const std::string& noteID) const;

 private:
  std::unordered_set<std::string> m_taken;
  std::unordered_map<std::string, int> m_next;
  // Page names are looked up while links are encoded, which does not change
  // the writer otherwise.
  mutable std::unordered_map<std::string, std::string> m_pages;  // note ID -> page
  mutable std::unordered_set<std::string> m_pageKeys;             // lower-case pages in use
};

}  // namespace quillery
