#pragma once

// The HTML export options of the host: what a reader of an exported page
// chooses (layout, contents, style, which notes), parsed from the command
// line and handed to the document before it is saved as ".html".
//
// The frames template ships in data/ and is found, unless --template names
// one, next to the program (<bin>/../share/quillery/html_export_frames, which
// the build tree mirrors) and then in the installed data folder.

#include <string>
#include <vector>

class NoteDocument;

namespace quillery_host {

struct ExportOptions {
  bool given = false;          // at least one of the options below was given
  bool frames = false;         // --frames
  bool toc = false;            // --toc was given (0 too)
  int tocDepth = 0;            // --toc DEPTH
  bool numbering = false;      // --numbering
  bool headings = false;       // --headings
  std::string styleSheet;      // --style-sheet FILE (linked) or --embed-style FILE
  bool embedStyle = false;
  bool tagsAsClasses = false;  // --tags-as-classes
  bool files = false;          // --files: pictures and attachments as side files
  std::string branchID;        // --branch NOTE_ID
  std::string noteID;          // --note NOTE_ID
  bool noAttachments = false;  // --no-attachments
  std::string templateDir;     // --template DIR
};

// Records the option (value is null for one without a value); false for a
// bad value or a clash with an option given before. The command line's
// table (CommandLine.cpp) names these options and prints their help.
bool SetExportOption(const std::string& name, const char* value, ExportOptions& out);

// False, after a line on stderr, when the options were given for a target
// that is no HTML export (args: the command and its operands), or when one
// of them would change nothing with the others given.
bool ExportOptionsFit(const ExportOptions& options, const std::vector<std::string>& args);

// The side folder an export to target writes (every export has one), which
// it replaces whole.
std::string ExportSideFolder(const ExportOptions& options, const std::string& target);

// The first file a frames template folder must hold that it lacks (a path
// inside the folder); empty when it has them all.
std::string MissingTemplateFile(const std::string& dir);

// The frames template folder to use: --template when given, else the first
// existing of the places above; empty when there is none.
std::string FindFramesTemplate(const ExportOptions& options);

// Sets the document's export options; walkType and startIdx receive the walk
// (all notes, a branch or one note). Empty on success, else why not.
std::string ApplyExportOptions(NoteDocument& doc, const ExportOptions& options, int& walkType, int& startIdx);

}  // namespace quillery_host
