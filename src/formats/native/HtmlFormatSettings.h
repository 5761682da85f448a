#pragma once

// HtmlFormatSettings: the settings of the native format object that the
// rendering of a note reads: the modes and options the document model and
// the containers set before a run, the path being written (file links are
// written against its folder), and the export options and target of the
// running save. FormatIO_HTML derives from it (after its two bases), so the
// members keep their names and stand first among the format class's fields,
// in the order of its member table (the three reading flags among them
// included), with the writer's run settings last. A renderer of the
// parallel writer takes them over in one assignment
// (FormatIO_HTML::CopyRenderSettings): a setting added here reaches every
// renderer. A plain value, copied on the writer's thread.

#include <string>

#include "formats/native/HtmlWriteOptions.h"

struct HtmlFormatSettings {
  bool m_bRawText = false;             // ".hqy": ANSI text (reading), variant DOCTYPE (writing)
  bool m_bExport = false;              // HTML export mode
  bool m_bContentsOnly = false;        // reading: the whole input is one note's text
  bool m_bNoNewNote = false;           // reading: no tree; the text goes to note m_nNodeIdx
  std::string m_strPath;               // file being loaded or saved
  bool m_bLineBreakSeen = false;       // a BR was met
  bool m_bParagraphSeen = false;       // a P was met
  bool m_bStripTabs = false;
  bool m_bTitlesOnly = false;
  bool m_bCloneContents = false;
  bool m_bAttachmentsToFiles = false;  // export option, reset before each run
  bool m_bPicturesToFiles = false;
  bool m_bBodyOnly = false;
  bool m_bWriteTitles = true;
  bool m_bLinkWarning = true;
  bool m_bParagraphBlankLine = true;

  // The writer's run: export options in force for this save, and whether it
  // writes to a string (SaveToString: no progress, no cancel).
  HtmlWriteOptions m_opt;
  bool m_bStringTarget = false;
};
