// Placeholder definitions that let FormatIO_Sqlite link while its topics are
// written. Each returns the neutral failure value and does nothing else. The
// helper of a topic deletes that topic's group when its real definitions land.

#include "sqlite/FormatIO_Sqlite.h"

// ---- Open and load; lazy fetch, queries and hashes (load/fetch) ----

int FormatIO_Sqlite::Load(const char*, NoteDocument& doc, int) {
  SetDoc(doc);
  return DOC_LOAD_FORMAT_ERROR;
}
int FormatIO_Sqlite::GetChildIDs(const std::string&, std::vector<std::string>&) const { return 0; }
bool FormatIO_Sqlite::SiblingComparator::operator()(const std::string&, const std::string&) const { return false; }
void FormatIO_Sqlite::FixRemappedIDs() {}
bool FormatIO_Sqlite::RecursivelyFixSiblings(const char*) { return false; }
bool FormatIO_Sqlite::AnyHashesToBeDone() { return false; }
bool FormatIO_Sqlite::UpdateHashes(bool) { return false; }
bool FormatIO_Sqlite::HasAttachments(NoteNode&) { return false; }
bool FormatIO_Sqlite::HasNote(NoteNode&) { return false; }
void FormatIO_Sqlite::FetchNodeAtt(NoteNode&, int) {}
void FormatIO_Sqlite::FetchNodeInfo(NoteNode&, unsigned int) {}
bool FormatIO_Sqlite::GetNotesLinkingToTargetNote(const std::string&, std::vector<std::string>&) { return false; }
void FormatIO_Sqlite::GetUsedColors(std::map<std::string, int>&) {}

// ---- Saving, document-wide data and per-change updates (update/save) ----

int FormatIO_Sqlite::Save(const char*, RecursiveTreeWalker&) { return DOC_SAVE_ERROR; }
bool FormatIO_Sqlite::OnNodeInsertFull(NoteNode&) { return false; }
void FormatIO_Sqlite::StoreGlobalData() {}
void FormatIO_Sqlite::SaveGlobalOptions() const {}
void FormatIO_Sqlite::UpdateDocBookmarks() const {}
void FormatIO_Sqlite::SaveGlobalCustomProperties() const {}
void FormatIO_Sqlite::OnNodeInsert(NoteNode&, bool) {}
void FormatIO_Sqlite::OnNodeDeleted(NoteNode&, bool) {}
void FormatIO_Sqlite::OnNodeTxtInsert(NoteNode&, int, int) {}
void FormatIO_Sqlite::OnNodeTxtDelete(NoteNode&, int, int) {}
bool FormatIO_Sqlite::OnNodeUpdate(NoteNode&, unsigned int, bool, std::string*) { return false; }
void FormatIO_Sqlite::OnNodeUpdate_ReadOnly(NoteNode&) {}
void FormatIO_Sqlite::OnNodeAttAdded(NoteNode&, int) {}
void FormatIO_Sqlite::OnNodeAttRemoved(NoteNode&, int) {}
void FormatIO_Sqlite::OnNodeAttUpdated(NoteNode&, int) {}
void FormatIO_Sqlite::OnNodePixAdded(NoteNode&, PixInfo&, const std::string&) {}
void FormatIO_Sqlite::OnNodePixAdded(NoteNode&, PixInfo&) {}
void FormatIO_Sqlite::OnNodePixRemoved(NoteNode&, int) {}
void FormatIO_Sqlite::OnNodePixMoved(NoteNode&, int) const {}
void FormatIO_Sqlite::OnNodeTagAdded(NoteNode&, const std::string&) {}
void FormatIO_Sqlite::OnNodeTagRemoved(NoteNode&, const std::string&) {}
void FormatIO_Sqlite::OnRemoveTag(const std::string&) {}
void FormatIO_Sqlite::OnNodeCustomIconSet(NoteNode&, PixInfo&) {}
void FormatIO_Sqlite::OnNodeCustomIconRemoved(NoteNode&) {}
bool FormatIO_Sqlite::ModifyNoteID(const std::string&, const std::string&) { return false; }
void FormatIO_Sqlite::OnExpandAll() {}
void FormatIO_Sqlite::OnCollapseAll() {}
bool FormatIO_Sqlite::InsertLink(const LinkInfo&, const std::string&, CppSQLite3Exception&) { return false; }
