// The HTML export as a user runs it: its page and side folder are outputs
// like any other (replaced only with --force, and then whole), an export
// that breaks off leaves the earlier one as it was, and options that cannot
// work or would change nothing are refused before anything is written.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

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

// Every export has its side folder (a plain one: its empty attach/ and
// img/), and the folder is an output like the page.
TEST(HostExport, AnEarlierExportIsReplacedOnlyWithForceAndThenWhole) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"generate", "40", t / "doc.qyd"}).status, 0);
  for (const std::vector<std::string>& options : std::vector<std::vector<std::string>>{{}, {"--files"}, {"--frames"}}) {
    const std::string named = options.empty() ? "plain" : options[0];
    std::vector<std::string> args = {"convert"};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), {t / "doc.qyd", t / "r.html"});
    const std::string page = t / "r.html", mine = t / "r_files/mine.txt";
    ASSERT_EQ(RunHost(t.Path(), args).status, 0) << named;
    if (options.empty()) {
      EXPECT_EQ(Names(t / "r_files"), (std::vector<std::string>{"attach", "img"}));
    }
    WriteFile(mine, "the user's own");
    fs::remove(page);  // without the page the side folder still counts
    HostRun r = RunHost(t.Path(), args);
    EXPECT_EQ(r.status, 1) << named;
    EXPECT_EQ(LineCount(r.err), 1) << r.err;
    EXPECT_NE(r.err.find("r_files exists"), std::string::npos) << r.err;
    EXPECT_FALSE(Exists(page));
    EXPECT_EQ(ReadAll(mine), "the user's own");
    args.insert(args.begin(), "-f");
    EXPECT_EQ(RunHost(t.Path(), args).status, 0) << named;
    EXPECT_TRUE(Exists(page) && !Exists(mine)) << named;
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

// A signal at the very end of an export is told as what it did: right
// before the install it stops it (the earlier export stays whole, as the
// line said at once); during the install it comes too late, the new export
// is in place, and nothing says otherwise.
TEST(HostExport, ACtrlCAtTheEndIsToldAsWhatItDid) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"generate", "--seed", "1", "40", t / "a.qyd"}).status, 0);
  ASSERT_EQ(RunHost(t.Path(), {"generate", "--seed", "2", "60", t / "b.qyd"}).status, 0);
  const std::string page = t / "e.html", side = t / "e_files";
  ASSERT_EQ(RunHost(t.Path(), {"convert", "--files", t / "a.qyd", page}).status, 0);
  const auto before = Snapshot(page, side);
  HostCall call;
  call.args = {"-q", "-f", "convert", "--files", t / "b.qyd", page};
  // The page is synced after the export's last look at the cancel flag.
  call.env = {"LD_PRELOAD=" + quillery_test::PreloadList(), "QY_RAISE_AFTER=sync:/e.html.part"};
  HostRun r = RunHost(t.Path(), call);
  EXPECT_EQ(r.status, 130);
  EXPECT_EQ(r.err, "cannot save " + page + ": interrupted, removing the partial export\n");
  EXPECT_TRUE(Snapshot(page, side) == before);
  // The side folder is in its place, the page follows it.
  call.env[1] = "QY_RAISE_AFTER=move:/e_files";
  r = RunHost(t.Path(), call);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(Snapshot(page, side) == before);
  EXPECT_NE(ReadAll(page).find("e_files/attach/"), std::string::npos);
}

// A folder put at the side folder's place while the input loads is not the
// one the command began with: even with -f it stays as it is, and the
// export fails, naming it.
TEST(HostExport, AFolderThatAppearsDuringTheLoadIsLeftAsItIs) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"-q", "generate", "20000", t / "big.qyd"}).status, 0);
  const std::string page = t / "r.html", side = t / "r_files";
  HostCall call;
  call.args = {"-q", "-f", "convert", t / "big.qyd", page};
  const pid_t pid = quillery_test::StartHost(call, t / "out", t / "err");
  ASSERT_TRUE(quillery_test::WaitUntilOpen(pid, t / "big.qyd"));
  kill(pid, SIGSTOP);
  int st = 0;
  ASSERT_EQ(waitpid(pid, &st, WUNTRACED), pid);
  // The export has not begun its own folder yet.
  for (const auto& e : fs::directory_iterator(t.Path())) EXPECT_NE(e.path().string().rfind(side, 0), 0u) << e.path();
  fs::create_directory(side);
  WriteFile(side + "/mine.txt", "the user's own");
  kill(pid, SIGCONT);
  EXPECT_EQ(quillery_test::WaitHost(pid), 1);
  EXPECT_EQ(ReadAll(t / "err"),
            "cannot save " + page + ": a folder appeared at " + side + " meanwhile; it was left as it is (13)\n");
  EXPECT_EQ(Names(side), std::vector<std::string>{"mine.txt"});
  EXPECT_EQ(ReadAll(side + "/mine.txt"), "the user's own");
  EXPECT_FALSE(Exists(page));
}

// Only what an export made is removed as the leftover of an export that was
// killed: a folder of a build folder's name that the user made (or copied
// from a leftover) stays.
TEST(HostExport, OnlyTheBuildFoldersOfKilledExportsAreRemoved) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"generate", "40", t / "s.qyd"}).status, 0);
  for (const std::string name : {"e_files.part-backup", "e_files.part-backup-old"}) {
    fs::create_directories(t / (name + "/sub"));
    WriteFile(t / (name + "/sub/mine.txt"), "the user's own");
  }
  HostCall call;
  call.args = {"-q", "convert", "--files", t / "s.qyd", t / "e.html"};
  call.env = {"LD_PRELOAD=" + quillery_test::PreloadList(), "QY_RAISE_AFTER=sync:/e.html.part",
              "QY_RAISE_SIGNAL=" + std::to_string(SIGKILL)};
  ASSERT_EQ(RunHost(t.Path(), call).status, 128 + SIGKILL);
  std::string leftover;
  for (const auto& e : fs::directory_iterator(t.Path()))
    if (e.path().filename().string().rfind("e_files.part-", 0) == 0 &&
        e.path().filename().string().find("backup") == std::string::npos)
      leftover = e.path().string();
  ASSERT_FALSE(leftover.empty());
  fs::copy(leftover, t / "e_files.part-copied", fs::copy_options::recursive);
  ASSERT_EQ(RunHost(t.Path(), {"convert", "--files", t / "s.qyd", t / "e.html"}).status, 0);
  EXPECT_FALSE(Exists(leftover));
  EXPECT_TRUE(Exists(t / "e_files.part-copied/attach"));
  EXPECT_EQ(ReadAll(t / "e_files.part-backup/sub/mine.txt"), "the user's own");
  EXPECT_EQ(ReadAll(t / "e_files.part-backup-old/sub/mine.txt"), "the user's own");
}
