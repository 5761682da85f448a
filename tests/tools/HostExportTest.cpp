// The HTML export as a user runs it: its page and side folder are outputs
// like any other (replaced only with --force, and then whole), an export
// that breaks off leaves the earlier one as it was, and options that cannot
// work or would change nothing are refused before anything is written.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "HostRunner.h"
#include "common/TempDir.h"

using quillery_test::Exists;
using quillery_test::HostCall;
using quillery_test::HostRun;
using quillery_test::LineCount;
using quillery_test::ReadAll;
using quillery_test::RunHost;
using quillery_test::TempDir;
using quillery_test::WriteFile;

namespace {

namespace fs = std::filesystem;

// Every file below dir (and the page beside it) with its bytes.
std::map<std::string, std::string> Snapshot(const std::string& page, const std::string& dir) {
  std::map<std::string, std::string> files{{page, ReadAll(page)}};
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) files[fs::relative(e.path(), dir).string()] = ReadAll(e.path().string());
  return files;
}

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(dir)) names.push_back(fs::relative(e.path(), dir).string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

TEST(HostExport, AnEarlierExportIsReplacedOnlyWithForceAndThenWhole) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"generate", "40", t / "doc.qyd"}).status, 0);
  for (const char* option : {"--files", "--frames"}) {
    const std::string page = t / "r.html", mine = t / "r_files/mine.txt";
    ASSERT_EQ(RunHost(t.Path(), {"convert", option, t / "doc.qyd", page}).status, 0) << option;
    WriteFile(mine, "the user's own");
    fs::remove(page);  // without the page the side folder still counts
    HostRun r = RunHost(t.Path(), {"convert", option, t / "doc.qyd", page});
    EXPECT_EQ(r.status, 1) << option;
    EXPECT_EQ(LineCount(r.err), 1) << r.err;
    EXPECT_NE(r.err.find("r_files exists"), std::string::npos) << r.err;
    EXPECT_FALSE(Exists(page));
    EXPECT_EQ(ReadAll(mine), "the user's own");
    EXPECT_EQ(RunHost(t.Path(), {"convert", "-f", option, t / "doc.qyd", page}).status, 0);
    EXPECT_TRUE(Exists(page) && !Exists(mine));
    fs::remove_all(t / "r_files");
    fs::remove(page);
  }
}

// Ctrl-C during an export over an earlier one leaves the earlier page and
// side folder as they were; the export that completes leaves no page of it.
TEST(HostExport, AnInterruptedExportLeavesTheEarlierOneWhole) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"generate", "--seed", "1", "300", t / "a.qyd"}).status, 0);
  ASSERT_EQ(RunHost(t.Path(), {"generate", "--seed", "2", "600", t / "b.qyd"}).status, 0);
  const std::string page = t / "T.html", side = t / "T_files";
  ASSERT_EQ(RunHost(t.Path(), {"convert", "--frames", t / "a.qyd", page}).status, 0);
  const auto before = Snapshot(page, side);

  HostCall call;
  call.args = {"convert", "-f", "--frames", t / "b.qyd", page};
  const pid_t pid = quillery_test::StartHost(call, t / "out", t / "err");
  ASSERT_TRUE(quillery_test::WaitUntilOpen(pid, page + ".part"));
  kill(pid, SIGINT);
  const int status = quillery_test::WaitHost(pid);
  ASSERT_TRUE(status == 130 || status == 0) << status;
  if (status == 130) {
    EXPECT_TRUE(Snapshot(page, side) == before);
  }

  ASSERT_EQ(RunHost(t.Path(), {"convert", "-f", "--frames", t / "b.qyd", page}).status, 0);
  ASSERT_EQ(RunHost(t.Path(), {"convert", "--frames", t / "b.qyd", t / "U.html"}).status, 0);
  EXPECT_EQ(Names(side), Names(t / "U_files"));
  // Nothing of the builds is left beside the pages.
  for (const auto& e : fs::directory_iterator(t.Path()))
    EXPECT_EQ(e.path().filename().string().find(".part"), std::string::npos) << e.path();
}

// Refused (2) before anything is written: a frames template that lacks a
// file its pages load, and options that would change nothing.
TEST(HostExport, TemplatesAndOptionsThatCannotWorkAreWrongUsage) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"generate", "10", t / "doc.qyd"}).status, 0);
  fs::create_directories(t / "emptytpl");
  WriteFile(t / "s.css", "p {}\n");
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"--frames", "--template", t / "emptytpl", "web/toc.html"},
           {"--tags-as-classes", "--tags-as-classes"},
           {"--frames", "--numbering", "--numbering"},
           {"--frames", "--embed-style", t / "s.css", "--embed-style"},
           {"--frames", "--toc", "2", "--toc"},
           {"--frames", "--files", "--files"}}) {
    const std::string named = args.back();
    args.back() = "convert";
    std::rotate(args.begin(), args.end() - 1, args.end());
    args.insert(args.end(), {t / "doc.qyd", t / "e.html"});
    const HostRun r = RunHost(t.Path(), args);
    EXPECT_EQ(r.status, 2) << named;
    EXPECT_EQ(LineCount(r.err), 1) << r.err;
    EXPECT_NE(r.err.find(named), std::string::npos) << r.err;
    EXPECT_FALSE(Exists(t / "e.html") || Exists(t / "e_files"));
  }
  EXPECT_EQ(RunHost(t.Path(), {"convert", "--toc", "1", "--tags-as-classes", t / "doc.qyd", t / "e.html"}).status, 0);
}
