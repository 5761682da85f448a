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
