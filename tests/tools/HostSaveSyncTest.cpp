// A save gives its name only to bytes that are on the disk: the host runs
// with a preloaded library that records the inode of every file an fsync or
// fdatasync forced out and of every file a rename or link moved into place
// (tests/tools/SyncRecorder.c). Every file moved must have been synced before
// it moved, and the file the target names at the end must have been synced,
// whether the save wrote the target in place or under another name, for a
// native file as for a new database and a dump's copy; a file moved there
// gets the target's mode only once it has the name, and is synced again
// after that.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "HostRunner.h"
#include "common/TempDir.h"

namespace {

namespace fs = std::filesystem;
using quillery_test::HostCall;
using quillery_test::HostRun;
using quillery_test::PreloadList;
using quillery_test::ReadAll;
using quillery_test::RunHost;
using quillery_test::TempDir;
using quillery_test::WithPassword;

std::string InodeOf(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return "missing";
  return std::to_string(st.st_dev) + " " + std::to_string(st.st_ino);
}

// What the recorded calls break of the rule; "" when they keep it. moves
// counts the moves seen.
std::string Check(const std::string& log, const std::string& target, int* moves) {
  std::set<std::string> synced;
  std::string wrong;
  std::istringstream lines(log);
  std::string kind, dev, ino, rest;
  const std::string named = InodeOf(target);
  bool namedSinceMove = false;  // the file named at the end synced since its last move
  *moves = 0;
  while (lines >> kind >> dev >> ino) {
    std::getline(lines, rest);
    const std::string inode = dev + " " + ino;
    if (kind == "sync") {
      synced.insert(inode);
      namedSinceMove = namedSinceMove || inode == named;
    } else {
      ++*moves;
      if (!synced.count(inode)) wrong += "moved before it was synced:" + rest + "\n";
      if (inode == named) namedSinceMove = false;
    }
  }
  if (!synced.count(named)) wrong += "the file named " + target + " was never synced\n";
  if (!namedSinceMove) wrong += "the file named " + target + " was not synced after it got the name\n";
  return wrong;
}

TEST(HostSaveSync, TheFileSyncedIsTheFileThatGetsTheName) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"generate", "30", t / "a.qyd"}).status, 0);
  ASSERT_EQ(RunHost(t.Path(), {"--seed", "2", "generate", "20", t / "old.qyd"}).status, 0);
  struct Save {
    std::vector<std::string> args;
    std::string target;
  };
  // A native file, new and replaced; new databases, plain and encrypted,
  // which are built under another name; and the plain copy a dump writes.
  const Save saves[] = {
      {{"--force", "convert", t / "a.qyd", t / "new.qyd"}, "new.qyd"},
      {{"--force", "convert", t / "a.qyd", t / "old.qyd"}, "old.qyd"},
      {{"convert", t / "a.qyd", t / "new.qydb"}, "new.qydb"},
      {WithPassword(t.Path(), {"convert", t / "a.qyd", t / "new.qyde"}), "new.qyde"},
      {WithPassword(t.Path(), {"dump", t / "new.qyde", t / "dump.qydb"}), "dump.qydb"},
  };
  for (const Save& save : saves) {
    const std::string& name = save.target;
    SCOPED_TRACE(name);
    const std::string log = t / (name + ".log");
    HostCall call;
    call.args = save.args;
    call.env = {"LD_PRELOAD=" + PreloadList(), "QY_SYNC_LOG=" + log};
    const HostRun r = RunHost(t.Path(), call);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string trace = ReadAll(log);
    ASSERT_FALSE(trace.empty()) << "nothing recorded: the library was not loaded";
    int moves = 0;
    EXPECT_EQ(Check(trace, t / name, &moves), "") << trace;
    // An existing file is replaced by a rename, and so is every new one
    // but the native file, which may be written in place.
    if (name != "new.qyd") {
      EXPECT_GT(moves, 0) << "the file is put in place by a rename";
    }
  }
}

// A file moved onto the target while the save is stopped between its sync
// and its rename is not the file the command began with: it stays, and the
// save fails.
TEST(HostSaveSync, AFileMovedOntoTheTargetBeforeTheRenameStays) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"-q", "generate", "20", t / "a.qyd"}).status, 0);
  ASSERT_EQ(RunHost(t.Path(), {"-q", "--seed", "2", "generate", "10", t / "old.qyd"}).status, 0);
  quillery_test::WriteFile(t / "racer", "moved on meanwhile");
  HostCall call;
  call.args = {"-q", "--force", "convert", t / "a.qyd", t / "old.qyd"};
  const pid_t pid = quillery_test::StartHostStoppedAtSync(call, "old.qyd.part", t / "out", t / "err");
  ASSERT_GT(pid, 0) << "the save did not stop at its sync";
  ASSERT_EQ(rename((t / "racer").c_str(), (t / "old.qyd").c_str()), 0);
  kill(pid, SIGCONT);
  EXPECT_EQ(quillery_test::WaitHost(pid), 1);
  EXPECT_NE(ReadAll(t / "err").find("it was left as it is (13)"), std::string::npos) << ReadAll(t / "err");
  EXPECT_TRUE(ReadAll(t / "old.qyd") == "moved on meanwhile") << "the file moved onto the target was replaced";
  EXPECT_FALSE(quillery_test::Exists(t / "old.qyd.part"));
}

// What is made at an output name while the save is stopped between its sync
// and its install, after what was there was deleted, is not what the
// command began with, even where the file system gives it the deleted one's
// inode number at once (as ext4 does): a file, a folder or a database made
// at a native file's, a database's or an export's page's or side folder's
// name stays, whether the names are exchanged or (where they cannot be) the
// place is looked at before a rename, and the save fails with 13.
TEST(HostSaveSync, WhatIsMadeAtTheOutputNameMeanwhileStays) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"-q", "generate", "20", t / "a.qyd"}).status, 0);
  ASSERT_EQ(RunHost(t.Path(), {"-q", "--seed", "2", "generate", "10", t / "other.qydb"}).status, 0);
  const std::string other = ReadAll(t / "other.qydb");
  struct Case {
    std::string output;  // the file the command writes
    std::string place;   // the name deleted and made again
    std::string made;    // what is made there: "file", "folder" or "database"
  };
  const Case cases[] = {
      {"n.qyd", "n.qyd", "file"},   {"n.qyd", "n.qyd", "folder"},     {"f.qydb", "f.qydb", "database"},
      {"r.html", "r.html", "file"}, {"r.html", "r_files", "folder"},
  };
  for (const bool exchange : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.place + " made again as a " + c.made + (exchange ? "" : ", no exchange"));
      const std::string out = t / c.output, place = t / c.place;
      // What the output names held when the command began: an old native
      // file, a database's name holding no database (replaced whole; one
      // whose content is replaced through SQLite syncs nothing of its own
      // before its install: see HostTarget), an export's page and side
      // folder.
      fs::remove_all(out);
      fs::remove_all(t / "r_files");
      quillery_test::WriteFile(out, "old");
      if (c.output == "r.html") fs::create_directory(t / "r_files");
      HostCall call;
      call.args = {"-q", "-f", "convert", t / "a.qyd", out};
      if (!exchange) call.env = {"QY_NO_EXCHANGE=1"};
      const pid_t pid = quillery_test::StartHostStoppedAtSync(call, "/" + c.output + ".part", t / "out", t / "err");
      ASSERT_GT(pid, 0) << "the save did not stop at its sync";
      fs::remove_all(place);
      if (c.made == "file") quillery_test::WriteFile(place, "mine");
      if (c.made == "folder") fs::create_directory(place);
      if (c.made == "database") quillery_test::WriteFile(place, other);
      kill(pid, SIGCONT);
      EXPECT_EQ(quillery_test::WaitHost(pid), 1);
      EXPECT_NE(ReadAll(t / "err").find("(13)"), std::string::npos) << ReadAll(t / "err");
      if (c.made == "folder") {
        EXPECT_TRUE(fs::is_directory(place) && fs::is_empty(place));
      } else {
        EXPECT_EQ(ReadAll(place), c.made == "file" ? "mine" : other);
      }
      EXPECT_FALSE(quillery_test::Exists(out + ".part") || quillery_test::Exists(place + ".part"));
    }
  }
}

// A save killed right before its install (the exchange with the file it
// replaces, the rename of a new database) leaves its temporary file as the
// leftover it is: the next save of that name removes it and is done, and
// the file replaced keeps its mode.
TEST(HostSaveSync, ASaveKilledBeforeItsInstallLeavesALeftoverTheNextSaveRemoves) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"-q", "generate", "20", t / "a.qyd"}).status, 0);
  ASSERT_EQ(RunHost(t.Path(), {"-q", "--seed", "2", "generate", "10", t / "old.qyd"}).status, 0);
  ASSERT_EQ(chmod((t / "old.qyd").c_str(), 0640), 0);
  const mode_t mask = umask(0);
  umask(mask);
  for (const std::string name : {"old.qyd", "new.qydb"}) {
    SCOPED_TRACE(name);
    const std::string out = t / name;
    HostCall call;
    call.args = {"-q", "-f", "convert", t / "a.qyd", out};
    call.env = {"LD_PRELOAD=" + PreloadList(), "QY_RAISE_BEFORE=move:" + name,
                "QY_RAISE_SIGNAL=" + std::to_string(SIGKILL)};
    ASSERT_EQ(RunHost(t.Path(), call).status, 128 + SIGKILL);
    struct stat st;
    ASSERT_EQ(stat((out + ".part").c_str(), &st), 0) << "the save was not killed before its install";
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    const HostRun again = RunHost(t.Path(), {"-q", "-f", "convert", t / "a.qyd", out});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_FALSE(quillery_test::Exists(out + ".part"));
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, name == "old.qyd" ? 0640u : 0666u & ~mask);
  }
}

}  // namespace
