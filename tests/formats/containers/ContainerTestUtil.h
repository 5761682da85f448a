#pragma once

// Helpers for the container tests: format registration, a document that uses every
// feature the native markup stores, file helpers, and a forked child with a small
// file-size limit (a disk that fills up) for the write-failure paths.

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "common/NoteBuilder.h"
#include "common/TempDir.h"
#include "model/FileFormatFactory.h"
#include "formats/native/FormatIOHtml.h"
#include "formats/containers/FormatIO_EncHTML.h"
#include "formats/containers/FormatIO_ZlibHTML.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"

namespace qycont {

using quillery_test::AddNote;
using quillery_test::TempDir;

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

inline bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

inline void RegisterFormats() {
  FileFormatFactory& f = FileFormatFactory::Get();
  f.Register(FORMAT_QYD, []() -> FormatIO_Base* { return new FormatIO_HTML; });
  f.Register(FORMAT_QYE, []() -> FormatIO_Base* { return new FormatIO_EncHTML; });
  f.Register(FORMAT_QYZ, []() -> FormatIO_Base* { return new FormatIO_ZlibHTML; });
}

inline std::string TinyPng() {
  GdkPixbuf* pix = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 4, 3);
  gdk_pixbuf_fill(pix, 0x3366ff00);
  char* buf = nullptr;
  gsize len = 0;
  gdk_pixbuf_save_to_buffer(pix, &buf, &len, "png", nullptr, nullptr);
  std::string out(buf, len);
  g_free(buf);
  g_object_unref(pix);
  return out;
}

// Three notes with formatting, a picture, an attachment, a task, tags, custom
// properties, a relative file link, a bookmark and document properties.
inline void RichDocument(NoteDocument& doc) {
  doc.SetUID("DOCUID0123456789abcdef");
  doc.SetTitle("Rich <doc>");
  doc.SetAuthor("Tester");
  doc.m_nPropModifiedTime = 1700000000;
  doc.GetBookmarkList().Insert("mark", "CHILD");
  doc.m_lstCustomProperties.push_back(CustomProperty("docprop", "v<&>"));

  NoteNode& a = AddNote(doc, "", "TOP", "Top & more", "bold then plain\nsecond line");
  a.m_objText.m_lstFmt.Append(FmtInfo(FMT_BOLD_BEGIN, 0));
  a.m_objText.m_lstFmt.Append(FmtInfo(FMT_BOLD_END, 4));
  a.m_nDateCreated = 1600000000;
  a.m_nDateModified = 1600000100;
  a.SetKeywords(";red;blue;");
  a.m_lstCustomProperties.push_back(CustomProperty("colour", "green"));
  LinkInfo link;
  link.strLink = "file://img/a.png";
  link.nStartOffset = 10;
  link.nTextLength = 5;
  link.RecalcRelative();
  a.m_objText.m_lstLinks.Append(link);

  NoteNode& b = AddNote(doc, "TOP", "CHILD", "Child", "pic: here");
  doc.AddNotePicture(b, 5, "dot.png", TinyPng(), true, -1, -1);
  AttInfo att;
  att.strName = "notes.txt";
  att.strData = std::string("attached\0bytes", 14);
  att.nDataSize = 14;
  att.strCode = "ATTCODE0123456789abcde";
  b.m_lstAttachments.push_back(att);
  b.m_objTask.SetValid(true);
  b.m_objTask.dateDue = 1700003600;
  b.m_objTask.nPriority = 2;
  b.m_objTask.strSoundPath = "/snd/ding.wav";

  AddNote(doc, "", "LAST", "Last", std::string(3000, 'z') + " end");
}

// The document as the native writer renders it: equal renderings mean equal notes,
// texts, formatting, links, pictures, attachments, tasks, tags and properties.
inline std::string Render(NoteDocument& doc) {
  RecursiveTreeWalker walker(doc);
  FormatIO_HTML fmt;
  std::string out;
  return fmt.SaveToString(out, doc, walker) == 0 ? out : "render failed";
}

// Writes bytes to path and loads them with load; a document that loads must
// render as expected. Returns the load result.
inline int LoadBytes(const std::string& path, const std::string& bytes, const std::string& expected,
                     const std::function<int(const std::string&, NoteDocument&)>& load) {
  WriteFile(path, bytes);
  NoteDocument doc;
  const int rc = load(path, doc);
  if (rc == 0) {
    EXPECT_EQ(expected, Render(doc));
  }
  return rc;
}

// Runs body in a forked child whose files may not grow beyond limit bytes (writes
// then fail with EFBIG; SIGXFSZ is ignored). Returns the child's exit status, -1
// when it did not exit normally.
inline int RunWithFileLimit(rlim_t limit, const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = {limit, limit};
    setrlimit(RLIMIT_FSIZE, &lim);
    _exit(body());
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// The zlib stream of a ".qyz" file, inflated by Python's zlib (an independent
// decoder); "error" when the check fails.
inline std::string PythonInflateQyz(const std::string& path) {
  const std::string cmd =
      "python3 -c \"import sys,zlib,struct;d=open(sys.argv[1],'rb').read();"
      "assert d[:8]==b'QUILLERY';n=struct.unpack('>Q',d[21:29])[0];assert n==len(d)-29;"
      "sys.stdout.buffer.write(zlib.decompress(d[29:29+n]))\" '" +
      path + "'";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return "error";
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
  return pclose(p) == 0 ? out : "error";
}

}  // namespace qycont
