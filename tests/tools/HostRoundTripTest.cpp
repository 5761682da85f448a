// Converting through the host keeps the document; a stopped or failed load
// leaves no output behind.

#include <fcntl.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "HostRunner.h"
#include "common/RawSqlite.h"
#include "common/TempDir.h"

using quillery_test::Exists;
using quillery_test::HostCall;
using quillery_test::HostRun;
using quillery_test::LineCount;
using quillery_test::ReadAll;
using quillery_test::RunHost;
using quillery_test::TempDir;
using quillery_test::WithPassword;
using quillery_test::WriteFile;

namespace {

// The formats that store a whole document (the .html export reads back as
// one note, so it is no round trip).
const std::vector<std::string> kFormats = {".qyd", ".hqy", ".qyz", ".qye"};

TEST(HostRoundTrip, ConvertBetweenEveryPairKeepsTheDocument) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"generate", "400", t / "origin.qyd"}).status, 0);
  for (const std::string& from : kFormats) {
    const std::string src = t / ("src" + from);
    ASSERT_EQ(RunHost(t.Path(), WithPassword(t.Path(), {"--keep-id", "convert", t / "origin.qyd", src})).status, 0) << from;
    for (const std::string& to : kFormats) {
      const std::string dst = t / ("dst-" + from.substr(1) + to);
      HostRun r = RunHost(t.Path(), WithPassword(t.Path(), {"--keep-id", "convert", src, dst}));
      ASSERT_EQ(r.status, 0) << from << " -> " << to << ": " << r.err;
      EXPECT_TRUE(r.err.empty()) << r.err;
      r = RunHost(t.Path(), WithPassword(t.Path(), {"compare", t / "origin.qyd", dst}));
      EXPECT_EQ(r.status, 0) << from << " -> " << to << ": " << r.out;
      EXPECT_EQ(r.out, "equal: 400 notes\n");
    }
  }
}

TEST(HostRoundTrip, ACopyGetsANewIdentityAFileRewrittenInPlaceKeepsIt) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"generate", "50", t / "a.qyd"}).status, 0);
  ASSERT_EQ(RunHost(t.Path(), {"convert", t / "a.qyd", t / "b.qyd"}).status, 0);
  HostRun r = RunHost(t.Path(), {"compare", t / "a.qyd", t / "b.qyd"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("different: document: UID"), std::string::npos) << r.out;
  r = RunHost(t.Path(), {"--ignore-uid", "compare", t / "a.qyd", t / "b.qyd"});
  EXPECT_EQ(r.status, 0) << r.out;

  // Rewritten in place it stays the same document.
  ASSERT_EQ(RunHost(t.Path(), {"--keep-id", "convert", t / "a.qyd", t / "c.qyd"}).status, 0);
  ASSERT_EQ(RunHost(t.Path(), {"convert", t / "c.qyd", t / "c.qyd"}).status, 0);
  r = RunHost(t.Path(), {"compare", t / "a.qyd", t / "c.qyd"});
  EXPECT_EQ(r.status, 0) << r.out;
}

TEST(HostRoundTrip, InfoDescribesTheFile) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"generate", "120", t / "a.qyd"}).status, 0);
  HostRun r = RunHost(t.Path(), {"info", t / "a.qyd"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* piece : {"format:          native HTML document (.qyd)", "encrypted:       no",
                            "notes:           120 in 6 levels", "title:           Sample notes (120 notes, seed 1)",
                            "author:          Quillery sample generator", "generator:       Quillery Pro",
                            "format version:  4.5.1", "UID:             ", "size:            "})
    EXPECT_NE(r.out.find(piece), std::string::npos) << piece << " in\n" << r.out;
}

// One line on stderr naming the file and the code (none for -1); status 1;
// no target.
void ExpectLoadFailure(const HostRun& r, const std::string& path, const std::string& meaning, int code,
                       const std::string& target) {
  EXPECT_EQ(r.status, 1) << path;
  EXPECT_EQ(LineCount(r.err), 1) << r.err;
  EXPECT_NE(r.err.find("cannot load " + path + ": " + meaning), std::string::npos) << r.err;
  if (code >= 0) {
    EXPECT_NE(r.err.find("(" + std::to_string(code) + ")"), std::string::npos) << r.err;
  }
  EXPECT_FALSE(Exists(target)) << target;
}

TEST(HostRoundTrip, DamagedInputIsOneLineAndNoTarget) {
  TempDir t;
  std::string junk(4096, '\0');
  for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>(i * 131 + 7);
  WriteFile(t / "junk.qyd", junk);
  ExpectLoadFailure(RunHost(t.Path(), {"convert", t / "junk.qyd", t / "out.hqy"}), t / "junk.qyd",
                    "not a valid document", 5, t / "out.hqy");

  // Containers: a header cut short, and a payload with a byte changed.
  ASSERT_EQ(RunHost(t.Path(), {"generate", "200", t / "a.qyd"}).status, 0);
  for (const std::string ext : {".qyz", ".qye"}) {
    ASSERT_EQ(RunHost(t.Path(), WithPassword(t.Path(), {"convert", t / "a.qyd", t / ("a" + ext)})).status, 0);
    const std::string whole = ReadAll(t / ("a" + ext));
    WriteFile(t / ("short" + ext), whole.substr(0, 20));
    ExpectLoadFailure(RunHost(t.Path(), WithPassword(t.Path(), {"convert", t / ("short" + ext), t / "out.qyd"})),
                      t / ("short" + ext), "not a valid document", 5, t / "out.qyd");
    std::string bad = whole;
    bad[bad.size() / 2] = static_cast<char>(bad[bad.size() / 2] ^ 0x55);
    WriteFile(t / ("bad" + ext), bad);
    ExpectLoadFailure(RunHost(t.Path(), WithPassword(t.Path(), {"convert", t / ("bad" + ext), t / "out.qyd"})),
                      t / ("bad" + ext), "not a valid document", 5, t / "out.qyd");
  }
}

TEST(HostRoundTrip, PasswordsFromFileEnvironmentAndTheirAbsence) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"generate", "100", t / "a.qyd"}).status, 0);
  ASSERT_EQ(RunHost(t.Path(), WithPassword(t.Path(), {"--keep-id", "convert", t / "a.qyd", t / "a.qye"})).status, 0);

  WriteFile(t / "wrong", "incorrect horse\n");
  ExpectLoadFailure(RunHost(t.Path(), {"--password-file", t / "wrong", "convert", t / "a.qye", t / "b.qyd"}),
                    t / "a.qye", "wrong or empty password", 3, t / "b.qyd");
  // No password anywhere, and no terminal to ask.
  HostRun r = RunHost(t.Path(), {"convert", t / "a.qye", t / "b.qyd"});
  ExpectLoadFailure(r, t / "a.qye", "no password given", -1, t / "b.qyd");
  r = RunHost(t.Path(), {"convert", t / "a.qyd", t / "b.qye"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot save " + (t / "b.qye") + ": no password given"), std::string::npos) << r.err;
  EXPECT_FALSE(Exists(t / "b.qye"));

  // The environment, and a different password for the target.
  HostCall call;
  call.env = {"QUILLERY_PASSWORD=correct horse"};
  WriteFile(t / "other", "another one");
  call.args = {"--keep-id", "--to-password-file", t / "other", "convert", t / "a.qye", t / "c.qye"};
  r = RunHost(t.Path(), call);
  ASSERT_EQ(r.status, 0) << r.err;
  r = RunHost(t.Path(), {"--password-file", t / "other", "compare", t / "a.qyd", t / "c.qye"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  r = RunHost(t.Path(), {"--password-file", t / "other", "info", t / "c.qye"});
  EXPECT_NE(r.out.find("encrypted:       yes"), std::string::npos) << r.out;
}

TEST(HostRoundTrip, DumpWritesTheDecodedDocument) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"generate", "150", t / "a.qyd"}).status, 0);
  for (const std::string ext : {".qyz", ".qye"}) {
    ASSERT_EQ(RunHost(t.Path(), WithPassword(t.Path(), {"--keep-id", "convert", t / "a.qyd", t / ("a" + ext)})).status, 0);
    const std::string out = t / ("dump" + ext + ".html");
    HostRun r = RunHost(t.Path(), WithPassword(t.Path(), {"dump", t / ("a" + ext), out}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadAll(out), ReadAll(t / "a.qyd")) << ext;  // the same document, the same bytes
  }
  // The tag of a version this program does not read: no document, whatever the
  // password, and nothing written.
  std::string tagged = ReadAll(t / "a.qye");
  tagged.replace(8, 4, "enc9");
  WriteFile(t / "t.qye", tagged);
  HostRun r = RunHost(t.Path(), WithPassword(t.Path(), {"dump", t / "t.qye", t / "x.html"}));
  EXPECT_EQ(r.err, "cannot dump " + (t / "t.qye") +
                       ": not a valid document of its format: its version tag \"enc9\" names no version "
                       "this program reads (5)\n");
  EXPECT_FALSE(Exists(t / "x.html"));
  WriteFile(t / "wrong", "nope");
  r = RunHost(t.Path(), {"--password-file", t / "wrong", "dump", t / "a.qye", t / "x.html"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(LineCount(r.err), 1) << r.err;
  EXPECT_FALSE(Exists(t / "x.html"));  // nothing half-decoded is left
  r = RunHost(t.Path(), {"dump", t / "a.qyd", t / "x.html"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("only containers"), std::string::npos) << r.err;
  EXPECT_FALSE(Exists(t / "x.html"));
}

TEST(HostRoundTrip, CtrlCWhileLoadingStopsWithoutOutput) {
  TempDir t;
  // The signal comes once the host has the input open: whether the load is
  // still running or has just ended, the command stops without output. The
  // input is large enough that the signal lands before the save, however
  // fast the load.
  ASSERT_EQ(RunHost(t.Path(), {"-q", "generate", "20000", t / "in.qyd"}).status, 0);
  HostCall call;
  call.args = {"convert", t / "in.qyd", t / "out.qyd"};
  const pid_t pid = quillery_test::StartHost(call, t / "out.txt", t / "err.txt");
  ASSERT_TRUE(quillery_test::WaitUntilOpen(pid, t / "in.qyd"));
  kill(pid, SIGINT);
  EXPECT_EQ(quillery_test::WaitHost(pid), 130);
  const std::string err = ReadAll(t / "err.txt");
  EXPECT_EQ(LineCount(err), 1) << err;
  EXPECT_NE(err.find(": interrupted"), std::string::npos) << err;
  EXPECT_FALSE(Exists(t / "out.qyd"));
}

TEST(HostRoundTrip, CtrlCWhileReadingABigDatabaseStopsAtOnce) {
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer's runtime holds a signal back until the thread it
  // reached passes one of its hooks, now and then past the whole busy wait:
  // the test would measure the sanitizer, not the host.
  GTEST_SKIP() << "signal delivery is deferred under ThreadSanitizer";
#endif
  TempDir t;
  const std::string big = t / "big.qydb";
  ASSERT_EQ(RunHost(t.Path(), {"-q", "generate", "2000", big}).status, 0);
  // Another program holds the file, so the signal lands while the host
  // reads it, however fast the machine. The holder keeps it until the host
  // has ended (a signal may reach a sanitizer's build late), for at most a
  // while, then lets go.
  quillery_test::RawSqlite holder(big);
  ASSERT_EQ(holder.Exec("BEGIN EXCLUSIVE"), "");
  HostCall call;
  call.args = {"info", big};
  const pid_t pid = quillery_test::StartHost(call, t / "out.txt", t / "err.txt");
  ASSERT_TRUE(quillery_test::WaitUntilOpen(pid, big));
  kill(pid, SIGINT);
  siginfo_t ended = {};
  for (int i = 0; i < 2000 && ended.si_pid == 0; ++i) {
    if (waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOHANG | WNOWAIT) != 0) break;
    if (ended.si_pid == 0) usleep(5000);
  }
  ASSERT_EQ(holder.Exec("ROLLBACK"), "");
  EXPECT_EQ(quillery_test::WaitHost(pid), 130);
  EXPECT_EQ(ReadAll(t / "out.txt"), "");
  EXPECT_EQ(ReadAll(t / "err.txt"), "cannot load " + big + ": interrupted\n");
}

TEST(HostRoundTrip, AnInputThatIsNoRegularFileIsRefusedBeforeItIsOpened) {
  TempDir t;
  ASSERT_EQ(mkfifo((t / "in.qyd").c_str(), 0600), 0);  // opening it would block for ever
  HostRun r = RunHost(t.Path(), {"info", t / "in.qyd"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("not a regular file"), std::string::npos) << r.err;
}

}  // namespace
