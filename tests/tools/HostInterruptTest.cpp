// Signals to the host: SIGINT, SIGTERM and SIGHUP cancel the running work
// (status 128 + the signal, nothing left beside the target), whatever
// phase the command is in. (A second signal during an install: SaveCrashTest,
// and here for a database's copy and a re-key.)

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
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

// Whether a SIGINT waits to be handled by the process.
bool SigintPending(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  const unsigned long bit = 1ul << (SIGINT - 1);
  for (std::string line; std::getline(f, line);)
    if ((line.rfind("SigPnd:", 0) == 0 || line.rfind("ShdPnd:", 0) == 0) &&
        (std::stoul(line.substr(7), nullptr, 16) & bit))
      return true;
  return false;
}

// Where the first Ctrl-C cannot end the host (a write to an output nobody
// reads takes no notice of the cancel flag), the second ends it at once,
// with one line.
TEST(HostInterrupt, ASecondCtrlCEndsTheHostAtOnceOutsideAnInstall) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer holds a signal back until the blocked call returns";
#endif
  if (SystemCall(getpid()).empty()) GTEST_SKIP() << "no /proc/PID/syscall on this kernel";
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"-q", "generate", "5", t / "a.qyd"}).status, 0);
  // Its standard output: a pipe already full.
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
  const std::string block(4096, 'x');
  while (write(fds[1], block.data(), block.size()) > 0) {}
  while (write(fds[1], "x", 1) > 0) {}
  HostCall call;
  call.args = {"info", t / "a.qyd"};
  const pid_t pid = StartHost(call, "/proc/self/fd/" + std::to_string(fds[1]), t / "err.txt");
  const std::string writing = std::to_string(SYS_write) + " 0x1 ";
  bool ended = false;
  if (WaitUntilInCall(pid, writing)) {
    kill(pid, SIGINT);
    for (int i = 0; i < 20000 && SigintPending(pid); ++i) usleep(500);
    EXPECT_TRUE(WaitUntilInCall(pid, writing));  // the first signal did not end it
    kill(pid, SIGINT);
    int st = 0;
    for (int i = 0; i < 20000 && !ended; ++i, usleep(500)) ended = waitpid(pid, &st, WNOHANG) == pid;
    EXPECT_TRUE(ended && WIFEXITED(st) && WEXITSTATUS(st) == 130) << st;
    EXPECT_EQ(ReadAll(t / "err.txt"), "interrupted\n");
  } else {
    ADD_FAILURE() << "the host never blocked in its write: " << SystemCall(pid);
  }
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  close(fds[0]);
  close(fds[1]);
}

// Ctrl-C while a database target's content is replaced rolls the copy back:
// the target keeps its old bytes, and no journal stays. A second signal
// waits for the rollback, and the status still says interrupted. (The host
// stops itself when the copy first syncs the target's journal, before it
// writes pages of the target: some thousand pages before the last.)
TEST(HostInterrupt, CtrlCDuringTheCopyIntoADatabaseRollsItBack) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer may hold the signals back until the install has ended";
#endif
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"-q", "generate", "5000", t / "big.qyd"}).status, 0);
  ASSERT_EQ(RunHost(t.Path(), {"-q", "generate", "3", t / "small.qyd"}).status, 0);
  for (const std::string ext : {"qydb", "qyde"}) {
    const std::string target = t / ("t." + ext);
    ASSERT_EQ(RunHost(t.Path(), WithPassword(t.Path(), {"-q", "convert", t / "small.qyd", target})).status, 0);
    const std::string old = ReadAll(target);
    for (bool second : {false, true}) {
      SCOPED_TRACE(ext + (second ? ", two signals" : ", one signal"));
      HostCall call;
      call.args = WithPassword(t.Path(), {"-q", "-f", "convert", t / "big.qyd", target});
      const pid_t pid = StartHostStoppedAtSync(call, "/t." + ext + "-journal", t / "out.txt", t / "err.txt");
      ASSERT_GT(pid, 0) << "the copy did not stop at its journal";
      kill(pid, SIGINT);
      if (second) kill(pid, SIGTERM);
      kill(pid, SIGCONT);
      EXPECT_EQ(WaitHost(pid), 130);
      EXPECT_EQ(ReadAll(t / "err.txt"), second ? "interrupted\n" : "cannot save " + target + ": interrupted\n");
      EXPECT_TRUE(ReadAll(target) == old);
      EXPECT_FALSE(Exists(target + "-journal") || Exists(target + ".part"));
    }
  }
}

// A re-key of an encrypted database converted onto itself is one install
// with the commit before it: a hard stop (a second signal) that comes in
// the commit waits for the re-key, and when that fails (its journal cannot
// grow past the file-size limit) the command says it was interrupted, and
// the old password still opens the file.
TEST(HostInterrupt, AHardStopDuringTheCommitOfAReKeyWaitsForTheReKey) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer may hold the signals back until the install has ended";
#endif
  TempDir t;
  const std::string doc = t / "e.qyde";
  WriteFile(t / "old.pw", "old");
  WriteFile(t / "new.pw", "new");
  ASSERT_EQ(RunHost(t.Path(), {"-q", "generate", "300", t / "s.qyd"}).status, 0);
  ASSERT_EQ(RunHost(t.Path(), {"-q", "--to-password-file", t / "old.pw", "convert", t / "s.qyd", doc}).status, 0);
  struct stat st;
  ASSERT_EQ(stat(doc.c_str(), &st), 0);
  HostCall call;
  call.args = {"-q", "--password-file", t / "old.pw", "--to-password-file", t / "new.pw", "convert", doc, doc};
  call.fileSizeLimit = st.st_size;  // room for the commit, none for the re-key's journal of every page
  // The host stops itself when the commit has written the file: both
  // signals wait for it, then come one after the other.
  const pid_t pid = quillery_test::StartHostStoppedAtSync(call, "/e.qyde", t / "out.txt", t / "err.txt");
  ASSERT_GT(pid, 0) << "the re-key did not stop at its commit";
  kill(pid, SIGINT);
  kill(pid, SIGTERM);
  kill(pid, SIGCONT);
  EXPECT_EQ(WaitHost(pid), 130);
  EXPECT_EQ(ReadAll(t / "err.txt"), "interrupted\n");
  EXPECT_EQ(RunHost(t.Path(), {"--password-file", t / "old.pw", "info", doc}).status, 0);
  EXPECT_NE(RunHost(t.Path(), {"--password-file", t / "new.pw", "info", doc}).status, 0);
}

}  // namespace
