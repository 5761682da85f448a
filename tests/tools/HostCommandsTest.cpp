// The command-line host as a user runs it: exit status, one-line errors, and
// outputs that are either complete or absent.

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "HostRunner.h"
#include "common/TempDir.h"

using quillery_test::Exists;
using quillery_test::HostCall;
using quillery_test::HostRun;
using quillery_test::LineCount;
using quillery_test::ReadAll;
using quillery_test::WriteFile;
using quillery_test::RunHost;
using quillery_test::TempDir;

namespace {

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// One line on stderr that contains every piece.
void ExpectOneLine(const HostRun& r, const std::vector<std::string>& pieces) {
  EXPECT_EQ(LineCount(r.err), 1) << r.err;
  for (const std::string& p : pieces) EXPECT_NE(r.err.find(p), std::string::npos) << "[" << p << "] in " << r.err;
}

TEST(HostCommandLine, UsageErrorsGiveStatusTwo) {
  TempDir t;
  EXPECT_EQ(RunHost(t.Path(), std::vector<std::string>{}).status, 2);
  HostRun r = RunHost(t.Path(), {"frobnicate", "x"});
  EXPECT_EQ(r.status, 2);
  ExpectOneLine(r, {"unknown command: frobnicate"});
  r = RunHost(t.Path(), {"convert", "only-one.qyd"});
  EXPECT_EQ(r.status, 2);
  ExpectOneLine(r, {"convert takes 2 operands"});
  r = RunHost(t.Path(), {"--clone-mode", "x", "info", "a.qyd"});
  EXPECT_EQ(r.status, 2);
  r = RunHost(t.Path(), {"--clone-mode", "0", "convert", "a.qyd", "b.qyd"});
  EXPECT_EQ(r.err, "--clone-mode takes 1, 2, 3 or 4 (see quillery help convert)\n");
  r = RunHost(t.Path(), {"generate", "-5", t / "a.qyd"});
  EXPECT_EQ(r.status, 2);
  r = RunHost(t.Path(), {"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("convert IN OUT"), std::string::npos);
  EXPECT_TRUE(Entries(t.Path()).empty());
}

TEST(HostCommandLine, GenerateIsDeterministic) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"generate", "300", t / "a.qyd"}).status, 0);
  ASSERT_EQ(RunHost(t.Path(), {"generate", "300", t / "b.qyd"}).status, 0);
  ASSERT_EQ(RunHost(t.Path(), {"--seed", "2", "generate", "300", t / "c.qyd"}).status, 0);
  const std::string a = ReadAll(t / "a.qyd");
  EXPECT_GT(a.size(), 10000u);
  EXPECT_EQ(a, ReadAll(t / "b.qyd"));
  EXPECT_NE(a, ReadAll(t / "c.qyd"));
  EXPECT_EQ(Entries(t.Path()), (std::vector<std::string>{"a.qyd", "b.qyd", "c.qyd"}));
}

TEST(HostCommandLine, MissingInputIsOneLineAndNoTarget) {
  TempDir t;
  HostRun r = RunHost(t.Path(), {"convert", t / "missing.qyd", t / "out.qyd"});
  EXPECT_EQ(r.status, 1);
  ExpectOneLine(r, {"cannot load " + (t / "missing.qyd"), "no such file (2)"});
  r = RunHost(t.Path(), {"info", t / "missing.qyd"});
  EXPECT_EQ(r.status, 1);
  ExpectOneLine(r, {"(2)"});
  EXPECT_TRUE(Entries(t.Path()).empty());
}

TEST(HostCommandLine, UnsupportedOrFolderTargetFailsBeforeLoading) {
  TempDir t;
  // The input does not even exist: the target is judged first.
  HostRun r = RunHost(t.Path(), {"convert", t / "missing.qyd", t / "out.xyz"});
  EXPECT_EQ(r.status, 1);
  ExpectOneLine(r, {"cannot save " + (t / "out.xyz"), "unsupported file format (4)"});
  mkdir((t / "dir.qyd").c_str(), 0700);
  r = RunHost(t.Path(), {"generate", "5", t / "dir.qyd"});
  EXPECT_EQ(r.status, 1);
  ExpectOneLine(r, {"it is a folder"});
  r = RunHost(t.Path(), {"info", t / "dir.qyd"});
  EXPECT_EQ(r.status, 1);
  ExpectOneLine(r, {"cannot load"});
  EXPECT_EQ(Entries(t.Path()), (std::vector<std::string>{"dir.qyd"}));
}

TEST(HostCommandLine, UnreadablePasswordFileIsReported) {
  TempDir t;
  HostRun r = RunHost(t.Path(), {"--password-file", t / "nope", "info", t / "a.qye"});
  EXPECT_EQ(r.status, 1);
  ExpectOneLine(r, {"cannot read the password file"});
}

TEST(HostCommandLine, DiskFullLeavesNoTargetAndKeepsTheOldOne) {
  TempDir t;
  HostCall call;
  call.args = {"generate", "3000", t / "new.qyd"};
  call.fileSizeLimit = 200000;  // the document is several MB
  HostRun r = RunHost(t.Path(), call);
  EXPECT_EQ(r.status, 1);
  ExpectOneLine(r, {"cannot save " + (t / "new.qyd"), "(10)"});
  EXPECT_FALSE(Exists(t / "new.qyd"));

  WriteFile(t / "old.qyd", "the previous file");
  call.args = {"--force", "generate", "3000", t / "old.qyd"};
  r = RunHost(t.Path(), call);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(ReadAll(t / "old.qyd"), "the previous file");
  EXPECT_EQ(Entries(t.Path()), (std::vector<std::string>{"old.qyd"}));  // no temporary file left
}

// Every failure line names its cause with its number, the one `info` gives
// for the same file.
TEST(HostCommandLine, FailureLinesNameTheirCauseWithItsNumber) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"-q", "generate", "20", t / "a.qyd"}).status, 0);
  WriteFile(t / "pw", "right\n");
  HostCall call;
  call.stdinFile = t / "pw";  // "-" is the standard input
  call.args = {"--to-password-file", "-", "convert", t / "a.qyd", t / "a.qye"};
  ASSERT_EQ(RunHost(t.Path(), call).status, 0);
  WriteFile(t / "e.qyd", "");
  mkdir((t / "d.qyd").c_str(), 0700);
  ASSERT_EQ(symlink("/proc/self/status", (t / "k.qyd").c_str()), 0);
  WriteFile(t / "p_files", "mine");
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"info", t / "d.qyd"}, "load " + (t / "d.qyd") + ": it is a folder (7)"},
      {{"info", t / "e.qyd"}, "load " + (t / "e.qyd") + ": empty file (5)"},
      {{"info", t / "k.qyd"},
       "load " + (t / "k.qyd") + ": not a regular file (a file of the kernel under /proc or /sys) (7)"},
      {{"generate", "3", t / "a.qyd"}, "save " + (t / "a.qyd") + ": it exists (use --force to replace it) (13)"},
      {{"--password-file", t / "p_files", "dump", t / "a.qye", t / "x.qyd"},
       "dump " + (t / "a.qye") + ": wrong or empty password (3)"},
      {{"-f", "convert", "--files", t / "a.qyd", t / "p.html"},
       "save " + (t / "p.html") + ": p_files is in the way (not a folder) (14)"}};
  for (const auto& c : cases) {
    HostRun r = RunHost(t.Path(), c.first);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "cannot " + c.second + "\n");
  }
  EXPECT_EQ(ReadAll(t / "p_files"), "mine");
  call.args = {"--password-file", "-", "info", t / "a.qye"};
  EXPECT_EQ(RunHost(t.Path(), call).status, 0);
}

}  // namespace

// An HTML export names its side folder after the page; the page must not be
// written under a temporary name first, or the folder would keep that name.
TEST(HostCommandLine, HtmlExportSideFolderIsNamedAfterThePage) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"generate", "120", t / "notes.qyd"}).status, 0);
  HostRun r = RunHost(t.Path(), {"convert", t / "notes.qyd", t / "page.html"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const std::string& name : Entries(t.Path())) {
    EXPECT_EQ(name.find(".tmp-"), std::string::npos) << name;
    EXPECT_TRUE(name == "notes.qyd" || name == "page.html" || name == "page_files") << name;
  }
  EXPECT_TRUE(Exists(t / "page.html"));
}

// Each export option reaches the page; export options given for a target
// that is not an HTML export are wrong usage, found before anything is read.
TEST(HostCommandLine, HtmlExportOptionsReachThePage) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"generate", "60", t / "nb.qyd"}).status, 0);
  WriteFile(t / "look.css", "body { color: #123456; }\n");
  HostRun r = RunHost(t.Path(), {"convert", "--toc", "2", "--numbering", "--headings", "--embed-style", t / "look.css",
                                 "--tags-as-classes", "--files", "--no-attachments", t / "nb.qyd", t / "p.html"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string page = ReadAll(t / "p.html");
  for (const char* piece : {"<A name=\"TOC\">", "numbered\"", "<h2", "color: #123456", "class=\"qy_export_h\"",
                            "src=\"p_files/img/"})
    EXPECT_NE(page.find(piece), std::string::npos) << piece;
  EXPECT_EQ(page.find("qy_attachments"), std::string::npos);

  r = RunHost(t.Path(), {"convert", "--frames", t / "nb.qyd", t / "f.html"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Exists(t / "f_files/web/tree.js"));  // the shipped template, found beside the program
  EXPECT_TRUE(Exists(t / "f_files/web/tree_data.js"));
  r = RunHost(t.Path(), {"convert", "--frames", "--template", t / "none", t / "nb.qyd", t / "g.html"});
  EXPECT_EQ(r.status, 2);  // as a template folder that lacks a file
  ExpectOneLine(r, {"template"});

  r = RunHost(t.Path(), {"convert", "--branch", "nosuchnote", t / "nb.qyd", t / "b.html"});
  EXPECT_EQ(r.status, 1);
  ExpectOneLine(r, {"nosuchnote"});
  EXPECT_FALSE(Exists(t / "b.html"));

  for (const std::vector<std::string>& bad :
       std::vector<std::vector<std::string>>{{"convert", "--frames", t / "nb.qyd", t / "x.qyz"},
                                             {"info", "--numbering", t / "nb.qyd"},
                                             {"convert", "--toc", "deep", t / "nb.qyd", t / "y.html"},
                                             {"convert", "--note", "a", "--branch", "b", t / "nb.qyd", t / "y.html"}}) {
    r = RunHost(t.Path(), bad);
    EXPECT_EQ(r.status, 2) << bad[1];
    EXPECT_EQ(LineCount(r.err), 1) << r.err;
  }
  EXPECT_FALSE(Exists(t / "x.qyz"));
  EXPECT_FALSE(Exists(t / "y.html"));
}

// A picture that no document can hold (not an embedded PNG or JPEG) is left
// out, and the command says so without being asked.
TEST(HostCommandLine, PicturesLeftOutAreTold) {
  TempDir t;
  WriteFile(t / "page.html", "<html><body>a<img src=\"pic.gif\">b<IMG SRC=http://x/y.png></body></html>");
  const HostRun r = RunHost(t.Path(), {"-q", "convert", t / "page.html", t / "doc.qyd"});
  EXPECT_EQ(r.status, 0);
  ExpectOneLine(r, {t / "page.html", "2 pictures left out", "pic.gif"});
}
