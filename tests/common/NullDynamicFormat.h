#pragma once

// A dynamic (database-like) format whose every operation does nothing, for
// tests that record or fake only the few calls they look at: derive from it
// and override those.

#include <map>
#include <string>
#include <vector>

#include "model/FormatIO_DynamicBase.h"

namespace quillery_test {

class NullDynamicFormat : public FormatIO_DynamicBase {
 public:
  int Load(const char*, NoteDocument& doc, int) override {
    SetDoc(doc);
    return 0;
  }
  int Save(const char*, RecursiveTreeWalker&) override { return 0; }
  int GetFormat() override { return FORMAT_QYDB; }
  bool InstallsOwnTarget() override { return true; }  // as a database does
  bool HasAttachments(NoteNode&) override { return false; }
  bool HasNote(NoteNode&) override { return false; }
  void OnNodeInsert(NoteNode&, bool) override {}
  void OnNodeDeleted(NoteNode&, bool) override {}
  void OnNodeTxtInsert(NoteNode&, int, int) override {}
  void OnNodeTxtDelete(NoteNode&, int, int) override {}
  void FetchNodeAtt(NoteNode&, int) override {}
  void FetchNodeInfo(NoteNode&, unsigned int) override {}
  bool OnNodeUpdate(NoteNode&, unsigned int, bool, std::string*) override { return true; }
  void OnNodeUpdate_ReadOnly(NoteNode&) override {}
  void OnNodeAttAdded(NoteNode&, int) override {}
  void OnNodeAttRemoved(NoteNode&, int) override {}
  void OnNodeAttUpdated(NoteNode&, int) override {}
  void OnNodePixAdded(NoteNode&, PixInfo&, const std::string&) override {}
  void OnNodePixAdded(NoteNode&, PixInfo&) override {}
  void OnNodePixRemoved(NoteNode&, int) override {}
  void OnNodeTagAdded(NoteNode&, const std::string&) override {}
  void OnNodeTagRemoved(NoteNode&, const std::string&) override {}
  void OnRemoveTag(const std::string&) override {}
  void OnNodeCustomIconSet(NoteNode&, PixInfo&) override {}
  void OnNodeCustomIconRemoved(NoteNode&) override {}
  bool ModifyNoteID(const std::string&, const std::string&) override { return true; }
  void GetUsedColors(std::map<std::string, int>&) override {}
  bool BackupTo(const char*) override { return false; }
  void OnExpandAll() override {}
  void OnCollapseAll() override {}
  void StoreGlobalData() override {}
};

}  // namespace quillery_test
