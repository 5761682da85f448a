#pragma once

// Helpers for the HTML export tests: a host that records the export's
// events and answers its questions, a small document, and an export run
// through FormatIO_HTML the way the document model starts it.

#include <sys/stat.h>

#include <string>
#include <vector>

#include "formats/native/FormatIOHtml.h"
#include "formats/export/FormatIOHtmlExport.h"
#include "formats/native/HtmlWriterTestUtil.h"
#include "model/GuiControllerBase.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"

namespace qytest {

struct ExportEvent {
  int event;
  std::string text;    // the text the event's pointer pointed at
  std::string noteID;  // event 15
  std::string rootID;  // event 15
};

class ExportHost : public GuiControllerBase {
 public:
  void HandleEvent(int event) override {
    std::string** slot = event == 20 ? &g_pStrHeaderPreHtmlExport
                         : event == 15 ? &g_pStrNotePreHtmlExport
                         : event == 32 ? &g_pStrNoteTitlePreHtmlExport
                                       : nullptr;
    ExportEvent e{event, slot && *slot ? **slot : "<null>", g_strNoteIDPreHtmlExport, g_strRootIDPreHtmlExport};
    events.push_back(e);
    if (slot && *slot && !appendOnEvent.empty()) **slot += appendOnEvent;
  }
  bool AskFileOverwrite(const char* path) override {
    asked.push_back(path);
    return allowOverwrite;
  }
  const char* GetHtmlFramesTemplateDir() override { return templateDir.empty() ? nullptr : templateDir.c_str(); }
  const char* GetDefaultTOCTitle() override { return "Contents"; }

  int Count(int event) const {
    int n = 0;
    for (const ExportEvent& e : events) n += e.event == event;
    return n;
  }

  std::vector<ExportEvent> events;
  std::vector<std::string> asked;
  bool allowOverwrite = false;
  std::string appendOnEvent;
  std::string templateDir;
};

// A: "Alpha" (text, tag) with children A1 (a link to B) and A2; B: "Beta".
// The ID of A holds a slash, as generated IDs often do.
inline void MakeExportDoc(NoteDocument& doc) {
  doc.SetTitle("Doc Title");
  doc.SetUID("UID1");
  AddNote(doc, "", "A/x", "Alpha", "alpha text").SetKeywords("red tag;blue");
  AddNote(doc, "A/x", "A1", "First child", "see beta");
  AddNote(doc, "A/x", "A2", "Second child", "");
  AddNote(doc, "", "B", "Beta", "beta\ttext");
  LinkInfo link;
  link.strTargetID = "B";
  link.nStartOffset = 4;
  link.nTextLength = 4;
  doc.GetNodeByIdx(1).m_objText.m_lstLinks.Append(link);
}

// One export, started as the document model starts it.
inline int Export(NoteDocument& doc, const std::string& path, int walkType = WALK_ALL, int start = -1) {
  RecursiveTreeWalker walker(doc, walkType, start);
  FormatIO_HTMLExport fmt;
  fmt.SetExport(true, doc.bExportLinkWarning);
  fmt.m_bReportProgress = false;
  return fmt.Save(path.c_str(), walker);
}

inline int CountOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + what.size())) ++n;
  return n;
}

inline bool IsDir(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

inline void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

}  // namespace qytest
