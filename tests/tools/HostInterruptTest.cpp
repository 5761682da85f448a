// Signals to the host: SIGINT, SIGTERM and SIGHUP cancel the running work
// (status 128 + the signal, nothing left beside the target), whatever
// phase the command is in. (A second signal during an install: SaveCrashTest.)

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "HostRunner.h"
#include "common/TempDir.h"

using namespace quillery_test;

namespace {

// Starts the host, sends sig once it has path open, and gives its run.
HostRun SignalWhenOpen(const TempDir& t, std::vector<std::string> args, const std::string& path, int sig) {
  HostCall call;
  call.args = std::move(args);
  const pid_t pid = StartHost(call, t / "out.txt", t / "err.txt");
  EXPECT_TRUE(WaitUntilOpen(pid, path));
  kill(pid, sig);
  HostRun r;
  r.status = WaitHost(pid);
  r.out = ReadAll(t / "out.txt");
  r.err = ReadAll(t / "err.txt");
  return r;
}

TEST(HostInterrupt, CompareStopsAtCtrlC) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"-q", "generate", "20000", t / "a.qyd"}).status, 0);
  ASSERT_EQ(RunHost(t.Path(), {"-q", "--keep-id", "convert", t / "a.qyd", t / "b.qyd"}).status, 0);
  // Once the second file is open the signal lands in its load or in the
  // comparison: either way the verdict is not given.
  HostRun r = SignalWhenOpen(t, {"compare", t / "a.qyd", t / "b.qyd"}, t / "b.qyd", SIGINT);
  EXPECT_EQ(r.status, 130);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(LineCount(r.err), 1) << r.err;
  EXPECT_NE(r.err.find(": interrupted"), std::string::npos) << r.err;
}

TEST(HostInterrupt, TermAndHangupCancelASaveAndAnExportSaysSoAtOnce) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"-q", "generate", "20000", t / "big.qyd"}).status, 0);
  ASSERT_EQ(RunHost(t.Path(), {"-q", "generate", "3", t / "t.qyd"}).status, 0);
  const std::string old = ReadAll(t / "t.qyd");
  for (int sig : {SIGTERM, SIGHUP}) {
    HostRun r = SignalWhenOpen(t, {"-f", "convert", t / "big.qyd", t / "t.qyd"}, t / "t.qyd.part", sig);
    EXPECT_EQ(r.status, 128 + sig);
    EXPECT_EQ(r.err, "cannot save " + (t / "t.qyd") + ": interrupted\n");
    EXPECT_FALSE(Exists(t / "t.qyd.part"));
    EXPECT_TRUE(ReadAll(t / "t.qyd") == old);
  }
  HostRun r = SignalWhenOpen(t, {"--files", "convert", t / "big.qyd", t / "x.html"}, t / "x.html.part", SIGINT);
  EXPECT_EQ(r.status, 130);
  EXPECT_EQ(r.err, "cannot save " + (t / "x.html") + ": interrupted, removing the partial export\n");
  EXPECT_FALSE(Exists(t / "x.html"));
}

}  // namespace
