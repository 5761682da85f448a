#pragma once

// The engine's questions to its host. The default object gives fixed
// answers; a host derives from it and answers interactively.

#include <string>

class GuiControllerBase {
 public:
  virtual ~GuiControllerBase() = default;

  virtual const char* GetDefaultNoteTitle() { return "New note"; }
  virtual const char* GetDefaultTOCTitle() { return "Table of contents"; }
  virtual const char* GetDefaultAttachmentPrefix() { return "Attachment"; }
  // True: the file (for an HTML export: the side folder of an earlier
  // export, replaced whole) may be overwritten.
  virtual bool AskFileOverwrite(const char* /*path*/) { return true; }
  // Clone mode for a clone whose original is outside the saved notes;
  // negative cancels the save.
  virtual int ConvertClonesOnSave(const char* /*noteTitle*/) { return -1; }
  virtual void HandleEvent(int /*event*/) {}
  // The password for a document; null refuses (no password).
  virtual const char* GetPassword(const char* /*path*/, bool /*save*/) { return nullptr; }
  virtual const char* GetHtmlFramesTemplateDir() { return nullptr; }
};
