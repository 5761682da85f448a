#pragma once

// The export options in force for one run of the HTML writer. Outside export
// mode every one of them is off, whatever the document holds: they shape an
// exported page, and a native file written with them would not read back.

#include <string>

struct HtmlWriteOptions {
  bool bFrames = false;         // frames layout
  bool bHeadings = false;       // headings instead of nested lists
  bool bNumbered = false;       // outline numbers
  std::string strCss;           // style sheet: class attributes are written
  int nTocDepth = 0;            // table of contents depth, 0 = none
  bool bNoAttachments = false;  // leave attachments out
  bool bTagsAsClasses = false;  // note tags become CSS classes
};
