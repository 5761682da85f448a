// A save gives its name only to bytes that are on the disk: the host runs
// with a preloaded library that records the inode of every file an fsync or
// fdatasync forced out and of every file a rename or link moved into place
// (tests/tools/SyncRecorder.c). Every file moved must have been synced before
// it moved, and the file the target names at the end must have been synced,
// whether the save wrote the target in place or under another name.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "HostRunner.h"
#include "common/TempDir.h"

namespace {

using quillery_test::HostCall;
using quillery_test::HostRun;
using quillery_test::PreloadList;
using quillery_test::ReadAll;
using quillery_test::RunHost;
using quillery_test::TempDir;

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
  *moves = 0;
  while (lines >> kind >> dev >> ino) {
    std::getline(lines, rest);
    const std::string inode = dev + " " + ino;
    if (kind == "sync") {
      synced.insert(inode);
    } else {
      ++*moves;
      if (!synced.count(inode)) wrong += "moved before it was synced:" + rest + "\n";
    }
  }
  if (!synced.count(InodeOf(target))) wrong += "the file named " + target + " was never synced\n";
  return wrong;
}

TEST(HostSaveSync, TheFileSyncedIsTheFileThatGetsTheName) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"generate", "30", t / "a.qyd"}).status, 0);
  ASSERT_EQ(RunHost(t.Path(), {"--seed", "2", "generate", "20", t / "old.qyd"}).status, 0);
  for (const std::string name : {"new.qyd", "old.qyd"}) {
    SCOPED_TRACE(name);
    const std::string log = t / (name + ".log");
    HostCall call;
    call.args = {"--force", "convert", t / "a.qyd", t / name};
    call.env = {"LD_PRELOAD=" + PreloadList(), "QY_SYNC_LOG=" + log};
    const HostRun r = RunHost(t.Path(), call);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string trace = ReadAll(log);
    ASSERT_FALSE(trace.empty()) << "nothing recorded: the library was not loaded";
    int moves = 0;
    EXPECT_EQ(Check(trace, t / name, &moves), "") << trace;
    if (name == "old.qyd") {
      EXPECT_GT(moves, 0) << "an existing file is replaced by a rename";
    }
  }
}

}  // namespace
