#pragma once

// Interface of a format that keeps the document in its open file: the model
// fetches note parts through it when a note is selected and reports every
// change through it as the change happens. The parts of a note are named by
// NodeInfoFlags masks.

#include <map>
#include <string>
#include <vector>

#include "model/FormatIO_Base.h"
#include "model/NodeInfoFlags.h"

class NoteNode;
class PixInfo;

class FormatIO_DynamicBase : public FormatIO_Base {
 public:
  bool IsLoadedByAnotherProcess() override { return _bLoadedByAnotherProcess; }
  bool IsDynamic() override { return true; }

  // Whether the file holds attachments for the note.
  virtual bool HasAttachments(NoteNode& note) = 0;
  // Whether the file holds a note with the note's ID.
  virtual bool HasNote(NoteNode& note) = 0;
  virtual void OnNodeInsert(NoteNode& note, bool shiftSiblings) = 0;
  virtual void OnNodeDeleted(NoteNode& note, bool shiftSiblings) = 0;
  virtual void OnNodeTxtInsert(NoteNode& note, int offset, int length) = 0;
  virtual void OnNodeTxtDelete(NoteNode& note, int offset, int length) = 0;
  virtual void FetchNodeAtt(NoteNode& note, int index) = 0;
  // Reads the parts named by mask (title, tree position and task are never read).
  virtual void FetchNodeInfo(NoteNode& note, unsigned int mask) = 0;
  // Writes the parts named by mask.
  virtual bool OnNodeUpdate(NoteNode& note, unsigned int mask, bool flag, std::string* error) = 0;
  virtual void OnNodeUpdate_ReadOnly(NoteNode& note) = 0;
  virtual void OnNodeAttAdded(NoteNode& note, int index) = 0;
  virtual void OnNodeAttRemoved(NoteNode& note, int index) = 0;
  virtual void OnNodeAttUpdated(NoteNode& note, int index) = 0;
  // A picture was added; encodedBytes are its stored PNG/JPEG bytes.
  virtual void OnNodePixAdded(NoteNode& note, PixInfo& pix, const std::string& encodedBytes) = 0;
  // A picture was added; the format encodes it itself.
  virtual void OnNodePixAdded(NoteNode& note, PixInfo& pix) = 0;
  virtual void OnNodePixRemoved(NoteNode& note, int index) = 0;
  virtual void OnNodeTagAdded(NoteNode& note, const std::string& tag) = 0;
  virtual void OnNodeTagRemoved(NoteNode& note, const std::string& tag) = 0;
  // No note uses the tag any more.
  virtual void OnRemoveTag(const std::string& tag) = 0;
  // Collects the IDs of notes whose links target the note; the default
  // knows none and leaves the list untouched.
  virtual bool GetNotesLinkingToTargetNote(const std::string& /*noteID*/, std::vector<std::string>& /*out*/) {
    return false;
  }
  virtual void OnNodeCustomIconSet(NoteNode& note, PixInfo& pix) = 0;
  virtual void OnNodeCustomIconRemoved(NoteNode& note) = 0;
  virtual bool ModifyNoteID(const std::string& oldID, const std::string& newID) = 0;
  // Adds up, per colour text, the stored text and background colour tags.
  virtual void GetUsedColors(std::map<std::string, int>& colors) = 0;
  // Copies the open database to a file.
  virtual bool BackupTo(const char* path) = 0;
  virtual void OnExpandAll() = 0;
  virtual void OnCollapseAll() = 0;
  // Writes the document-wide data.
  virtual void StoreGlobalData() = 0;

  bool _bLoadedByAnotherProcess = false;
};
