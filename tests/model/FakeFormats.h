#pragma once

// Small formats for driving NoteDocument::Load/Save in tests.
//
// FakeFileFormat stores "UID=<uid>\n" then one line per walked note
// ("<id>\t<parent>\t<sibling>\t<title>\n") through File64, and keeps the
// loaded or saved file open with a shared lock, as a native format does.
// FakeDbFormat is a file-attached format whose note texts live in its
// "database" (a map in the object) and are fetched on demand.

#include <unistd.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "base/File64.h"
#include "base/Progress.h"
#include "model/FormatIO_Base.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"
#include "common/NullDynamicFormat.h"

// What the fakes saw, reset by each test.
struct FakeLog {
  std::vector<std::string> calls;  // hook names with arguments
  std::vector<std::string> savePaths;
  std::vector<std::string> loadPaths;
  void (*fault)() = nullptr;       // called by Load, and by Save after its first line (may throw)
  FormatIO_Base* loaderDuringLoad = reinterpret_cast<FormatIO_Base*>(1);
  int failSaveWith = 0;            // non-zero: Save writes half, then fails with it
  int formatId = 2;                // what GetFormat answers
  bool encrypted = false;
  int64_t fileSize = -1;           // >= 0: what GetFileSize answers
  std::string plantLinkTo;         // non-empty: Save first swaps its path for a link to this file
  static FakeLog& Get() {
    static FakeLog log;
    return log;
  }
  void Reset() { *this = FakeLog(); }
};

class FakeFileFormat : public FormatIO_Base {
 public:
  int GetFormat() override { return FakeLog::Get().formatId; }
  bool IsEncrypted() override { return FakeLog::Get().encrypted; }
  int64_t GetFileSize() override {
    return FakeLog::Get().fileSize >= 0 ? FakeLog::Get().fileSize : FormatIO_Base::GetFileSize();
  }
  void SetPassword(const char* pw) override { FakeLog::Get().calls.push_back(std::string("SetPassword:") + pw); }
  void SetRawText(bool v) override { FakeLog::Get().calls.push_back("SetRawText:" + std::to_string(v)); }
  void SetContentsOnly(bool v) override { FakeLog::Get().calls.push_back("SetContentsOnly:" + std::to_string(v)); }
  void SetExport(bool e, bool w) override {
    FakeLog::Get().calls.push_back("SetExport:" + std::to_string(e) + std::to_string(w));
  }
  void ReleaseFile() override {
    m_file.Unlock();
    m_file.Close();
  }
  bool KeepFile(const char* path) override {
    if (!m_file.Open(path, F64_READ | F64_SHARE_READ | F64_OPEN_EXISTING)) return false;
    return m_file.Lock(false);
  }

  int Load(const char* path, NoteDocument& doc, int parentIdx) override {
    FakeLog::Get().loaderDuringLoad = doc.GetLoader();
    FakeLog::Get().loadPaths.push_back(path);
    if (FakeLog::Get().fault) FakeLog::Get().fault();
    if (!m_file.Open(path, F64_READ | F64_WRITE | F64_SHARE_READ | F64_OPEN_EXISTING)) return DOC_LOAD_NOT_OPEN;
    m_file.Lock(false);
    std::string data;
    char buf[4096];
    for (int n; (n = m_file.Read(buf, sizeof(buf))) > 0;) data.append(buf, n);
    const std::string parent = parentIdx >= 0 ? doc.GetNodeByIdx(parentIdx).m_strID : std::string();
    size_t pos = 0;
    while (pos < data.size()) {
      size_t end = data.find('\n', pos);
      if (end == std::string::npos) end = data.size();
      const std::string line = data.substr(pos, end - pos);
      pos = end + 1;
      if (line.compare(0, 4, "UID=") == 0) {
        if (parentIdx < 0) doc.SetUID(line.substr(4));
      } else if (line == "READONLY") {
        doc.SetReadOnly(true);
      } else if (!line.empty()) {
        std::vector<std::string> f;
        for (size_t a = 0;;) {
          size_t b = line.find('\t', a);
          f.push_back(line.substr(a, b == std::string::npos ? std::string::npos : b - a));
          if (b == std::string::npos) break;
          a = b + 1;
        }
        if (f.size() < 4) return DOC_LOAD_FORMAT_ERROR;
        const int pidIdx = doc.GetIdxFromID(f[1]);
        const int idx = doc.NodeInsert(pidIdx >= 0 ? f[1] : parent, -1);
        if (doc.GetIdxFromID(f[0]) < 0) doc.NodeInitID(idx, f[0]);
        doc.GetNodeByIdx(idx).SetTitle(f[3]);
      }
    }
    return DOC_LOAD_OK;
  }

  int Save(const char* path, RecursiveTreeWalker& walker) override {
    FakeLog::Get().savePaths.push_back(path);
    ReleaseFile();
    if (!FakeLog::Get().plantLinkTo.empty()) {  // another user swaps the name meanwhile
      unlink(path);
      if (symlink(FakeLog::Get().plantLinkTo.c_str(), path) != 0) return DOC_SAVE_ERROR;
    }
    File64 out;
    if (!OpenOutput(out, path, F64_WRITE | F64_SHARE_READ | F64_OPEN_ALWAYS | F64_OPEN_EXISTING))
      return DOC_SAVE_NOT_OPEN;
    NoteDocument& doc = walker.GetDocument();
    std::string text = "UID=" + doc.GetUID() + "\n";
    if (doc.IsReadOnly()) text += "READONLY\n";
    if (out.Write(text.data(), static_cast<int>(text.size())) < 0) return DOC_SAVE_WRITE_ERROR;
    if (FakeLog::Get().fault) FakeLog::Get().fault();
    int count = 0;
    for (int idx = walker.GetNextNode(); idx >= 0; idx = walker.GetNextNode()) {
      if (ProgressInfo::IsCanceled()) return DOC_SAVE_ABORTED;
      const NoteNode& n = doc.GetNodeByIdx(idx);
      if (FakeLog::Get().failSaveWith && ++count == 2) return FakeLog::Get().failSaveWith;
      std::string line = n.m_strID + "\t" + n.m_strParentID + "\t" + std::to_string(n.m_nSibling) + "\t" +
                         n.GetTitle() + "\t" + n.GetText() + "\n";
      if (out.Write(line.data(), static_cast<int>(line.size())) != static_cast<int>(line.size()))
        return DOC_SAVE_WRITE_ERROR;
    }
    if (!out.Flush()) return DOC_SAVE_WRITE_ERROR;
    m_file = out;  // keep the written file, as a native format does
    out.Detach();
    m_file.Lock(false);
    return DOC_SAVE_OK;
  }

  File64 m_file;
};

// The "database": per note ID its text, shared by every FakeDbFormat object.
struct FakeDb {
  std::map<std::string, std::string> texts;
  std::vector<std::string> ids;  // in tree order, all top level
  int saves = 0;
  FormatIO_Base* lastSaver = nullptr;
  static FakeDb& Get() {
    static FakeDb db;
    return db;
  }
};

class FakeDbFormat : public quillery_test::NullDynamicFormat {
 public:
  int GetFormat() override { return FORMAT_QYDB; }
  int Load(const char* path, NoteDocument& doc, int parentIdx) override {
    if (!m_file.Open(path, F64_READ | F64_WRITE | F64_OPEN_EXISTING)) return DOC_LOAD_NOT_OPEN;
    const std::string parent = parentIdx >= 0 ? doc.GetNodeByIdx(parentIdx).m_strID : std::string();
    for (const std::string& id : FakeDb::Get().ids) {
      NoteNode n;
      n.m_strID = id;
      n.m_strParentID = parent;
      n.m_nSibling = doc.GetChildCountOf(parent);
      n.SetTitle("db " + id);
      n.m_nPartsInMemory = NIF_ALL & ~NIF_CONTENT;
      doc.PushNode(n);  // titles only: the text stays in the file
    }
    doc.RebuildMap();
    return DOC_LOAD_OK;
  }
  int Save(const char*, RecursiveTreeWalker&) override {
    ++FakeDb::Get().saves;
    FakeDb::Get().lastSaver = this;
    return DOC_SAVE_OK;
  }
  void FetchNodeInfo(NoteNode& note, unsigned int mask) override {
    note.m_nPartsInMemory |= mask;
    if (mask & NIF_TEXT) note.SetText(FakeDb::Get().texts[note.m_strID].c_str());
  }
  bool HasNote(NoteNode& note) override { return FakeDb::Get().texts.count(note.m_strID) != 0; }
  bool OnNodeUpdate(NoteNode& note, unsigned int mask, bool, std::string*) override {
    if (mask & NIF_TEXT) FakeDb::Get().texts[note.m_strID] = note.GetText();
    return true;
  }
  void OnNodeInsert(NoteNode& note, bool) override { FakeDb::Get().ids.push_back(note.m_strID); }
  // A copy of the "database" file (fails where the file cannot be made).
  bool BackupTo(const char* path) override { return static_cast<bool>(std::ofstream(path) << "db backup"); }

  File64 m_file;  // the open "database"
};
