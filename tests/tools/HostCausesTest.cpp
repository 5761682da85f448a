// What stands in the host's way is left alone and named with its real
// cause: files at a save's temporary name that no save made, special files
// named for their contents, and the statuses of mistakes on the command line.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "HostRunner.h"
#include "common/TempDir.h"

using namespace quillery_test;

namespace {

bool Has(const std::string& text, const std::string& piece) { return text.find(piece) != std::string::npos; }

TEST(HostCauses, WhatNoSaveMadeAtTheTemporaryNameStaysAndIsNamed) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"-q", "generate", "5", t / "x.qyd"}).status, 0);
  // A user's file (0644), a folder, a FIFO and a symbolic link where a
  // save writes first; a file of a save's mode that has a second name (a
  // user's hard link), and, where the test may give it away, one of
  // another user.
  WriteFile(t / "notes.qyd.part", "mine");
  ASSERT_EQ(symlink("notes.qyd.part", (t / "sym.qyd.part").c_str()), 0);
  ASSERT_EQ(chmod((t / "notes.qyd.part").c_str(), 0644), 0);
  ASSERT_EQ(mkdir((t / "dir.qyd.part").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo((t / "fifo.qyd.part").c_str(), 0600), 0);
  WriteFile(t / "kept", "mine");
  ASSERT_EQ(chmod((t / "kept").c_str(), 0600), 0);
  ASSERT_EQ(link((t / "kept").c_str(), (t / "linked.qyd.part").c_str()), 0);
  std::vector<std::string> names = {"notes.qyd", "dir.qyd", "fifo.qyd", "sym.qyd", "linked.qyd"};
  if (geteuid() == 0) {
    WriteFile(t / "theirs.qyd.part", "theirs");
    ASSERT_EQ(chmod((t / "theirs.qyd.part").c_str(), 0600), 0);
    ASSERT_EQ(chown((t / "theirs.qyd.part").c_str(), 65534, 65534), 0);
    names.push_back("theirs.qyd");
  }
  for (const std::string& name : names) {
    const HostRun r = RunHost(t.Path(), {"convert", t / "x.qyd", t / name});
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_TRUE(LineCount(r.err) == 1 && Has(r.err, name + ".part is in the way") && Has(r.err, "(14)")) << r.err;
    EXPECT_TRUE(Exists(t / (name + ".part")));
    EXPECT_FALSE(Exists(t / name));
  }
  EXPECT_EQ(ReadAll(t / "notes.qyd.part"), "mine");
  EXPECT_EQ(ReadAll(t / "linked.qyd.part"), "mine");
  struct stat st;
  EXPECT_TRUE(lstat((t / "sym.qyd.part").c_str(), &st) == 0 && S_ISLNK(st.st_mode));
  // A name the file system takes, too long once the suffix is added.
  const std::string longName = t / (std::string(250, 'n') + ".qyd");
  const HostRun r = RunHost(t.Path(), {"convert", t / "x.qyd", longName});
  EXPECT_TRUE(r.status == 1 && Has(r.err, "too long for the temporary file")) << r.err;
}

// A file at the name of a temporary file's journal is SQLite's business
// only beside a database save's own file: a native save never removes it,
// whether it cleans a leftover, fails, or is stopped at once, and a
// database save names it rather than let SQLite take it for its journal,
// as it does a file at a new database's own journal name.
TEST(HostCauses, AUsersFileAtTheJournalsNameStays) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"-q", "generate", "300", t / "x.qyd"}).status, 0);
  const std::string journal = t / "y.qyd.part-journal";
  WriteFile(journal, "mine");
  // A leftover of a killed save is removed, and the save succeeds.
  WriteFile(t / "y.qyd.part", "left over");
  ASSERT_EQ(chmod((t / "y.qyd.part").c_str(), 0600), 0);
  HostRun r = RunHost(t.Path(), {"-q", "convert", t / "x.qyd", t / "y.qyd"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(Exists(t / "y.qyd.part"));
  // A save that fails (a file-size limit).
  HostCall call;
  call.args = {"-q", "-f", "convert", t / "x.qyd", t / "y.qyd"};
  call.fileSizeLimit = 10000;
  r = RunHost(t.Path(), call);
  EXPECT_TRUE(r.status == 1 && Has(r.err, "(10)")) << r.err;
  // A save stopped at once (two signals, while it writes its file).
  call = HostCall();
  call.args = {"-q", "-f", "convert", t / "x.qyd", t / "y.qyd"};
  const pid_t pid = StartHostStoppedAtSync(call, "y.qyd.part", t / "out", t / "err");
  ASSERT_GT(pid, 0) << "the save did not stop at its sync";
  kill(pid, SIGINT);
  kill(pid, SIGTERM);
  kill(pid, SIGCONT);
  EXPECT_EQ(WaitHost(pid), 130);
  EXPECT_FALSE(Exists(t / "y.qyd.part"));
  EXPECT_EQ(ReadAll(journal), "mine");
  // A database save.
  WriteFile(t / "z.qydb.part-journal", "mine");
  r = RunHost(t.Path(), {"convert", t / "x.qyd", t / "z.qydb"});
  EXPECT_TRUE(r.status == 1 && Has(r.err, "z.qydb.part-journal is in the way") && Has(r.err, "(14)")) << r.err;
  EXPECT_EQ(ReadAll(t / "z.qydb.part-journal"), "mine");
  EXPECT_FALSE(Exists(t / "z.qydb") || Exists(t / "z.qydb.part"));
  // One at a new database's own journal name, there from the start or made
  // while the save syncs its file, which SQLite would delete beside it.
  unlink((t / "z.qydb.part-journal").c_str());
  for (bool fromTheStart : {true, false}) {
    SCOPED_TRACE(fromTheStart);
    call = HostCall();
    call.args = {"convert", t / "x.qyd", t / "z.qydb"};
    if (fromTheStart) {
      WriteFile(t / "z.qydb-journal", "mine");
      r = RunHost(t.Path(), call);
    } else {
      const pid_t stopped = StartHostStoppedAtSync(call, "/z.qydb.part", t / "out", t / "err");
      ASSERT_GT(stopped, 0) << "the save did not stop at its sync";
      WriteFile(t / "z.qydb-journal", "mine");
      kill(stopped, SIGCONT);
      r.status = WaitHost(stopped);
      r.err = ReadAll(t / "err");
    }
    EXPECT_TRUE(r.status == 1 && Has(r.err, "z.qydb-journal is in the way") && Has(r.err, "(14)")) << r.err;
    EXPECT_EQ(ReadAll(t / "z.qydb-journal"), "mine");
    EXPECT_FALSE(Exists(t / "z.qydb") || Exists(t / "z.qydb.part"));
    unlink((t / "z.qydb-journal").c_str());
  }
}

TEST(HostCauses, SpecialFilesNamedForTheirContentsAreRefusedUnread) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"-q", "generate", "5", t / "x.qyd"}).status, 0);
  ASSERT_EQ(mkfifo((t / "fifo").c_str(), 0600), 0);  // opening it for reading would wait for a writer
  HostRun r = RunHost(t.Path(), {"--to-password-file", t / "fifo", "convert", t / "x.qyd", t / "y.qye"});
  EXPECT_TRUE(r.status == 1 && Has(r.err, "password file " + (t / "fifo") + ": not a regular file (7)")) << r.err;
  r = RunHost(t.Path(), {"--embed-style", t / "fifo", "convert", t / "x.qyd", t / "y.html"});
  EXPECT_TRUE(r.status == 1 && Has(r.err, "not a regular file (16)")) << r.err;
  EXPECT_FALSE(Exists(t / "y.html"));
  // The standard input is read up to a bound, not to its end.
  WriteFile(t / "huge", std::string(100 * 1024, 'p'));
  HostCall call;
  call.args = {"--password-file", "-", "convert", t / "x.qye", t / "z.qyd"};
  call.stdinFile = t / "huge";
  r = RunHost(t.Path(), call);
  EXPECT_TRUE(r.status == 1 && Has(r.err, "larger than 64 KB (7)")) << r.err;
}

TEST(HostCauses, FailuresNameTheirRealCause) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"-q", "generate", "300", t / "x.qyd"}).status, 0);
  // A file-size limit is no full disk.
  HostCall call;
  call.args = {"convert", t / "x.qyd", t / "y.qyd"};
  call.fileSizeLimit = 10000;
  HostRun r = RunHost(t.Path(), call);
  EXPECT_TRUE(r.status == 1 && !Has(r.err, "disk full") && Has(r.err, "(10)")) << r.err;
  // An encrypted target without a password is refused before the input is
  // read: a damaged input is not what the line is about.
  WriteFile(t / "damaged.qyd", "no document");
  r = RunHost(t.Path(), {"convert", t / "damaged.qyd", t / "y.qye"});
  EXPECT_TRUE(r.status == 1 && Has(r.err, "cannot save " + (t / "y.qye") + ": no password given")) << r.err;
  // A file in a folder the user may not enter.
  ASSERT_EQ(mkdir((t / "closed").c_str(), 0700), 0);
  ASSERT_EQ(link((t / "x.qyd").c_str(), (t / "closed/x.qyd").c_str()), 0);
  ASSERT_EQ(chmod(t.Path().c_str(), 0755), 0);
  call = HostCall();
  call.uid = getuid() == 0 ? 65534 : -1;
  call.args = {"info", t / "closed/x.qyd"};
  r = RunHost(t.Path(), call);
  if (r.status == 126 || r.status == 127) GTEST_SKIP() << "the program cannot run as another user here";
  EXPECT_EQ(r.err, "cannot load " + (t / "closed/x.qyd") + ": permission denied (6)\n");
}

TEST(HostCauses, OptionsThatChangeNothingAreWrongUsage) {
  TempDir t;
  WriteFile(t / "pw", "secret\n");
  ASSERT_EQ(RunHost(t.Path(), {"-q", "generate", "5", t / "x.qyd"}).status, 0);
  const std::vector<std::vector<std::string>> idle = {
      {"--template", t.Path(), "convert", t / "x.qyd", t / "a.html"},
      {"--password-file", t / "pw", "convert", t / "x.qyd", t / "a.qyz"},
      {"--password-file", t / "pw", "--to-password-file", t / "pw", "convert", t / "x.qyd", t / "a.qye"},
      {"--password-file", t / "pw", "info", t / "x.qyd"},
      {"--clone-mode", "2", "convert", t / "x.qyd", t / "a.html"},
      {"--clone-mode", "3", "convert", t / "x.qyd", t / "a.html"},
      {"--clone-mode", "4", "convert", t / "x.qyd", t / "a.qydb"},
      {"--frames", "--toc", "0", "convert", t / "x.qyd", t / "a.html"},
  };
  for (const auto& args : idle) {
    const HostRun r = RunHost(t.Path(), args);
    EXPECT_TRUE(r.status == 2 && LineCount(r.err) == 1 && Has(r.err, "does nothing")) << args[0] << ": " << r.err;
  }
  EXPECT_FALSE(Exists(t / "a.html") || Exists(t / "a.qyz") || Exists(t / "a.qye") || Exists(t / "a.qydb"));
  // Where they act, they are taken.
  EXPECT_EQ(RunHost(t.Path(), {"--clone-mode", "4", "convert", t / "x.qyd", t / "b.qyz"}).status, 0);
  EXPECT_EQ(RunHost(t.Path(), {"--password-file", t / "pw", "convert", t / "x.qyd", t / "b.qye"}).status, 0);
}

TEST(HostCauses, ACompareThatRunsOutOfMemoryIsTroubleNotADifference) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's runtime needs more address space than any limit leaves";
#endif
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"-q", "generate", "3000", t / "a.qyd"}).status, 0);
  ASSERT_EQ(RunHost(t.Path(), {"-q", "--keep-id", "convert", t / "a.qyd", t / "b.qyd"}).status, 0);
  HostCall call;
  call.args = {"-q", "compare", t / "a.qyd", t / "b.qyd"};
  // The largest address-space limit under which the comparison of the two
  // equal documents fails: memory runs out in its last steps there, after
  // both loads. Whatever fails, the verdict "different" is never given.
  long lo = 8L << 20, hi = 2048L << 20;
  call.memoryLimit = hi;
  ASSERT_EQ(RunHost(t.Path(), call).status, 0);
  HostRun failed;
  while (hi - lo > (16L << 10)) {
    call.memoryLimit = lo + (hi - lo) / 2;
    const HostRun r = RunHost(t.Path(), call);
    ASSERT_NE(r.status, 1) << r.err;
    if (r.status == 0) hi = call.memoryLimit;
    else lo = call.memoryLimit, failed = r;
  }
  EXPECT_EQ(failed.status, 2);
  EXPECT_TRUE(Has(failed.err, "out of memory (12)")) << failed.err;
}

}  // namespace
