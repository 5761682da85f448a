#pragma once

// One run of FormatIO_Sqlite::Load after the database is open: the note
// tree, the merge copy into another database, the tree repairs and the
// document-wide data, read in that order through one error record.
//
// The run lives on Load's stack and points at the format object and the
// document, owning neither. Once its error record holds an error, later
// queries through it return no rows, so the first failure decides what the
// later steps see.

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "sqlite/access/CppSQLite3.h"

class FormatIO_Base;
class FormatIO_DynamicBase;
class FormatIO_Sqlite;
class NoteDocument;
class NoteNode;

namespace quillery {

struct TreeOutline;

// A set of non-empty string views in one open-addressing table (no
// allocation per entry); the viewed strings must outlive the set.
class StringViewSet {
 public:
  bool Contains(std::string_view key) const {
    if (m_slots.empty()) return false;
    for (size_t i = Hash(key) & (m_slots.size() - 1);; i = (i + 1) & (m_slots.size() - 1)) {
      if (m_slots[i].empty()) return false;
      if (m_slots[i] == key) return true;
    }
  }
  // Adds a key that is not in the set.
  void Add(std::string_view key) {
    if ((m_count + 1) * 2 > m_slots.size()) Grow();
    Place(key);
    ++m_count;
  }

 private:
  static size_t Hash(std::string_view key) { return std::hash<std::string_view>()(key); }
  void Place(std::string_view key) {
    size_t i = Hash(key) & (m_slots.size() - 1);
    while (!m_slots[i].empty()) i = (i + 1) & (m_slots.size() - 1);
    m_slots[i] = key;
  }
  void Grow() {
    std::vector<std::string_view> old;
    old.swap(m_slots);
    m_slots.assign(old.empty() ? 1024 : old.size() * 2, std::string_view());
    for (std::string_view key : old)
      if (!key.empty()) Place(key);
  }
  std::vector<std::string_view> m_slots;  // size a power of two; empty = free
  size_t m_count = 0;
};

class SqliteLoadRun {
 public:
  SqliteLoadRun(FormatIO_Sqlite& fmt, NoteDocument& doc) : m_fmt(fmt), m_doc(doc) {}

  // Steps from reading the tree to the long-running transaction; returns
  // the DocLoadResult of the load.
  int ReadDocument();
  // The outline of the tree and the options instead (see
  // FormatIO_Sqlite::LoadOutline); checkIndexes: counts the indexes too
  // (CheckIndexes), unless the caller has them counted elsewhere.
  int ReadOutline(TreeOutline& out, bool checkIndexes);

  std::string targetParent;          // ID of the note the file's top level goes under
  int siblingOffset = 0;             // children the target parent had before
  FormatIO_Base* docLoader = nullptr;  // the document's loader when the load began

 private:
  // Each returns -1 to go on, else the load's result.
  // Counts the indexes of the document's tables against their tables'
  // rows in the state the load reads (sqlite_schema::UnmatchedIndex): one
  // that does not match is a part that does not read (logged and counted,
  // and the load goes on), and so is a count that fails on the file.
  int CheckIndexes();
  int ReadTree();
  // Gives the notes of m_parentsToRemap the new IDs of their parents.
  void RemapParents();
  int CopyLoadedNotes(FormatIO_DynamicBase& target);
  void RepairTree();
  // Writes a tree row for each note of m_withoutTreeRow into the format's
  // own file.
  void PlaceNotesWithoutTreeRow();
  void RepairParentsAndSiblings(FormatIO_DynamicBase* writer);
  // Makes the note that closes each parent cycle a top-level note; true
  // when it found one.
  bool BreakParentCycles(FormatIO_DynamicBase* writer);
  // True when every parent exists and every level holds positions 0..n-1
  // exactly (the repairs would change nothing); false when unsure.
  bool TreeNeedsNoRepair();
  int ReadAnchorsAndTombstones();
  int ReadTagsAndProperties();
  int ReadOptions();
  int ReadBookmarks();

  // Runs a count for the progress total; 0 after a failure.
  int64_t Count(const char* sql);
  // Result of a failed tags or custom-properties read (-1: go on).
  int SideDataFailure(const char* sql, bool statementFailed, bool levelWarning);
  // The DocLoadResult of the failure in m_e3 (5 when it names no other
  // cause).
  int RowFailure() const;
  // Index of a note this load added, by its stored ID; -1 when none.
  int LoadedIdx(const std::string& storedId) const;
  void Advance();

  FormatIO_Sqlite& m_fmt;
  NoteDocument& m_doc;
  CppSQLite3Exception m_e3;
  int64_t m_nProgress = 0;
  // Stored IDs read so far, as views of strings that stay put: the loaded
  // notes' own IDs in the note list, or for a renamed note a copy of its
  // stored ID in m_renamedStoredIDs.
  StringViewSet m_seenIDs;
  std::deque<std::string> m_renamedStoredIDs;
  // Loaded notes whose stored parent is a note the document already had:
  // the file's own note of that ID may be renamed after they were read.
  // (Notes placed under the target parent are not in it: the target's ID
  // names the document's note even when the file has a note of that ID.)
  std::vector<int> m_parentsToRemap;
  // Loaded notes whose row in notes_tree is missing, kept at the top level.
  std::vector<int> m_withoutTreeRow;
};

// The loader that takes the repairs of the document's tree: the format
// itself when it is the document's file, the document's own database when
// a file is merged into one, none when the document keeps no database. A
// merged file never takes repairs of a document it does not hold.
FormatIO_DynamicBase* TreeWriterOf(FormatIO_Sqlite& fmt);

// Logs and counts as a part that does not read (CountReadFailure) an index
// that does not match its table, as sqlite_schema::UnmatchedIndex tells it;
// nothing when unmatched is empty.
void ReportUnmatchedIndex(const std::string& unmatched);

// Whether the load runs for the document's own file rather than merging a
// file into it: the format is the document's loader, or the document had no
// loader and no notes when the load began.
bool LoadsDocumentFile(FormatIO_Sqlite& fmt, const FormatIO_Base* docLoader);

}  // namespace quillery
