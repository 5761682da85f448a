// What the host's convert does to its target: converting an encrypted
// document onto itself changes its password, or leaves it whole under the
// old one; a new target appears only once it is complete; what the output
// name held when the command began is all it replaces; only a regular file
// is written; a copy is a new document, a rewrite in place keeps the owner.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "HostRunner.h"
#include "common/TempDir.h"

using namespace quillery_test;

namespace {

int OpensWith(const TempDir& t, const std::string& passwordFile, const std::string& doc) {
  return RunHost(t.Path(), {"-q", "--password-file", passwordFile, "info", doc}).status;
}

TEST(HostTarget, ConvertingInPlaceChangesThePasswordOrNothing) {
  TempDir t;
  WriteFile(t / "old.pw", "old\n");
  WriteFile(t / "new.pw", "new\n");
  ASSERT_EQ(RunHost(t.Path(), {"-q", "generate", "40", t / "s.qyd"}).status, 0);
  for (const std::string ext : {"qye", "qyde"}) {
    SCOPED_TRACE(ext);
    const std::string doc = t / ("a." + ext);
    ASSERT_EQ(RunHost(t.Path(), {"-q", "--to-password-file", t / "old.pw", "convert", t / "s.qyd", doc}).status, 0);
    const std::vector<std::string> change = {"-q", "--password-file", t / "old.pw", "--to-password-file",
                                             t / "new.pw", "convert", doc, doc};
    // A save that cannot write (a file size limit) keeps the file as it was.
    const std::string before = ReadAll(doc);
    HostCall limited;
    limited.args = change;
    limited.fileSizeLimit = 4096;
    HostRun r = RunHost(t.Path(), limited);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err, "");
    EXPECT_EQ(ReadAll(doc), before);
    EXPECT_EQ(OpensWith(t, t / "old.pw", doc), 0);

    r = RunHost(t.Path(), change);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(OpensWith(t, t / "new.pw", doc), 0);
    EXPECT_EQ(OpensWith(t, t / "old.pw", doc), 1);
  }
}

TEST(HostTarget, AKilledConvertLeavesNoNewTarget) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"-q", "generate", "10000", t / "big.qyd"}).status, 0);
  const std::string target = t / "N.qyd";
  HostCall call;
  call.args = {"-q", "convert", t / "big.qyd", target};
  const pid_t pid = StartHost(call, t / "out.txt", t / "err.txt");
  ASSERT_TRUE(WaitUntilOpen(pid, target + ".part"));
  kill(pid, SIGKILL);
  EXPECT_EQ(WaitHost(pid), 128 + SIGKILL);
  EXPECT_FALSE(Exists(target));
  // The next convert is not refused, and clears the leftover away.
  const HostRun r = RunHost(t.Path(), {"-q", "convert", t / "big.qyd", target});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(Exists(target + ".part"));
  EXPECT_EQ(RunHost(t.Path(), {"compare", "--ignore-uid", t / "big.qyd", target}).status, 0);
}

HostRun Quillery(const TempDir& t, std::vector<std::string> args) {
  HostCall call;
  call.args = std::move(args);
  call.env = {"QUILLERY_PASSWORD=pw"};
  return RunHost(t.Path(), call);
}

// The password prompt is a fixed point after the host decided about its
// output and before the load: a file put at the output name then stays,
// and the command fails naming it.
TEST(HostTarget, AFileThatAppearsAtTheOutputMeanwhileIsNotReplaced) {
  TempDir t;
  ASSERT_EQ(Quillery(t, {"-q", "generate", "30", t / "in.qye"}).status + Quillery(t, {"generate", "9", t / "o.qydb"}).status, 0);
  // o.qydb existed: with -f it is replaced only while it is the file found.
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"convert", t / "n.qyd"}, {"convert", t / "n.qydb"}, {"dump", t / "d.qyd"}, {"-f", "convert", t / "o.qydb"}}) {
    const std::string out = args.back();
    HostCall call;
    call.args = args;
    call.args.insert(call.args.end() - 1, t / "in.qye");
    const HostRun r = RunAtPrompts(t.Path(), call, {{"Password for ", [&] {
                                                       WriteFile(out + ".new", "precious");
                                                       return rename((out + ".new").c_str(), out.c_str()) ? "" : "pw";
                                                     }}});
    EXPECT_TRUE(r.status == 1 && r.err.find(out) != std::string::npos && ReadAll(out) == "precious") << r.err;
  }
  // A database deleted and made again at the name, which the file system
  // may give the deleted one's inode number (ext4 does), is not the one
  // found either: its content is not replaced through SQLite.
  ASSERT_EQ(Quillery(t, {"-q", "generate", "9", t / "p.qydb"}).status, 0);
  ASSERT_EQ(Quillery(t, {"-q", "--seed", "2", "generate", "9", t / "other.qydb"}).status, 0);
  const std::string other = ReadAll(t / "other.qydb");
  HostCall call;
  call.args = {"-f", "convert", t / "in.qye", t / "p.qydb"};
  const HostRun r = RunAtPrompts(t.Path(), call, {{"Password for ", [&] {
                                                     unlink((t / "p.qydb").c_str());
                                                     WriteFile(t / "p.qydb", other);
                                                     return "pw";
                                                   }}});
  EXPECT_TRUE(r.status == 1 && r.err.find("(13)") != std::string::npos && ReadAll(t / "p.qydb") == other) << r.err;
}

// A password read from the standard input (a terminal, a slow pipe) is read
// after the host decided about its outputs: a file put at the page's name,
// or a folder at its side folder's, while it waits there stays.
TEST(HostTarget, WhatAppearsAtAnOutputWhileAPasswordIsPipedInStays) {
  if (SystemCall(getpid()).empty()) GTEST_SKIP() << "no /proc/PID/syscall on this kernel";
  TempDir t;
  WriteFile(t / "pw", "pw\n");
  ASSERT_EQ(RunHost(t.Path(), {"-q", "--to-password-file", t / "pw", "generate", "30", t / "in.qye"}).status, 0);
  for (const std::string made : {"r.html", "r_files"}) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    HostCall call;
    call.args = {"-q", "-f", "--password-file", "-", "convert", t / "in.qye", t / "r.html"};
    call.stdinFile = "/proc/self/fd/" + std::to_string(fds[0]);
    const pid_t pid = StartHost(call, t / "out.txt", t / "err.txt");
    close(fds[0]);
    EXPECT_TRUE(WaitUntilInCall(pid, std::to_string(SYS_read) + " 0x0 ")) << SystemCall(pid);
    if (made == "r.html") WriteFile(t / made, "mine");
    else EXPECT_EQ(mkdir((t / made).c_str(), 0700) + mkdir((t / (made + "/mine")).c_str(), 0700), 0);
    EXPECT_EQ(write(fds[1], "pw\n", 3), 3);
    close(fds[1]);
    EXPECT_EQ(WaitHost(pid), 1);
    const std::string err = ReadAll(t / "err.txt");
    EXPECT_TRUE(err.find(t / made) != std::string::npos && err.find("(13)") != std::string::npos) << err;
    EXPECT_TRUE(made == "r.html" ? ReadAll(t / made) == "mine" : Exists(t / (made + "/mine"))) << made;
    unlink((t / "r.html").c_str());
  }
}

// A symbolic link made at a new output's name (and side folder's), or in
// place of the folder on its way, once the command decided where the name
// leads is never followed: made during the load (at the password prompt)
// or while the save is stopped before its install, with or without -f and
// with either install, it stays, nothing is written where it points, and
// the command fails with 13 naming the output. One there from the start is
// followed.
TEST(HostTarget, ALinkMadeAtANewOutputOrOnItsWayIsNotFollowed) {
  TempDir t;
  ASSERT_EQ(Quillery(t, {"-q", "generate", "30", t / "in.qye"}).status, 0);
  const std::string dir = t / "sub", moved = t / "moved", elsewhere = t / "else";
  for (const std::string out : {"n.qyd", "r.html"}) {
    const std::string name = dir + "/" + out, side = dir + "/r_files";
    for (const bool onTheWay : {false, true}) {
      for (const bool atInstall : {false, true}) {
        for (const bool exchange : {true, false}) {
          SCOPED_TRACE(out + (onTheWay ? " folder" : " name") + (atInstall ? " at install" : " at load") +
                       (exchange ? "" : ", no exchange, no -f"));
          for (const std::string& d : {dir, moved, elsewhere}) std::filesystem::remove_all(d);
          ASSERT_EQ(mkdir(dir.c_str(), 0700) + mkdir(elsewhere.c_str(), 0700), 0);
          auto plant = [&] {
            if (onTheWay) return rename(dir.c_str(), moved.c_str()) == 0 && symlink("else", dir.c_str()) == 0;
            return symlink(("../else/" + out).c_str(), name.c_str()) == 0 &&
                   (out != "r.html" || symlink("../else/r_files", side.c_str()) == 0);
          };
          HostCall call;
          call.args = {"-q", "convert", t / "in.qye", name};
          if (exchange) call.args.insert(call.args.begin(), "-f");
          else call.env = {"QY_NO_EXCHANGE=1"};
          HostRun r;
          if (atInstall) {
            call.env.push_back("QUILLERY_PASSWORD=pw");
            const pid_t pid = StartHostStoppedAtSync(call, "/" + out + ".part", t / "out", t / "err");
            ASSERT_GT(pid, 0) << "the save did not stop at its sync";
            EXPECT_TRUE(plant());
            kill(pid, SIGCONT);
            r.status = WaitHost(pid);
            r.err = ReadAll(t / "err");
          } else {
            r = RunAtPrompts(t.Path(), call, {{"Password for ", [&] { return plant() ? "pw" : ""; }}});
          }
          EXPECT_EQ(r.status, 1);
          // The reason names the output given (the page, or the side folder
          // that goes in first), not where the link points.
          const std::string why = r.err.substr(std::min(r.err.size(), ("cannot save " + name + ": ").size()));
          EXPECT_TRUE(r.err.rfind("cannot save " + name + ": ", 0) == 0 &&
                      (why.rfind(name + " ", 0) == 0 || why.find(" at " + side + " ") != std::string::npos) &&
                      r.err.find("(13)") != std::string::npos)
              << r.err;
          EXPECT_TRUE(std::filesystem::is_empty(elsewhere)) << "written where the link points";
          EXPECT_TRUE(std::filesystem::is_symlink(onTheWay ? dir : name));
          if (onTheWay) {
            EXPECT_TRUE(std::filesystem::is_empty(moved));
          }
        }
      }
    }
  }
  std::filesystem::remove_all(dir);
  ASSERT_EQ(symlink("else", dir.c_str()), 0);
  EXPECT_EQ(Quillery(t, {"-q", "convert", t / "in.qye", dir + "/n.qyd"}).status, 0);
  EXPECT_TRUE(Exists(elsewhere + "/n.qyd"));
}

// dump -f refuses what convert refuses: a FIFO, named or through a link.
TEST(HostTarget, DumpWritesOnlyARegularFile) {
  TempDir t;
  ASSERT_EQ(Quillery(t, {"-q", "generate", "10", t / "s.qyz"}).status, 0);
  ASSERT_TRUE(mkfifo((t / "pipe.qyd").c_str(), 0600) == 0 && symlink("pipe.qyd", (t / "link.qyd").c_str()) == 0);
  for (const std::string out : {"pipe.qyd", "link.qyd"})
    EXPECT_EQ(Quillery(t, {"-q", "-f", "dump", t / "s.qyz", t / out}).err,
              "cannot dump " + (t / out) + ": it is not a regular file (14)\n");
}

// Onto itself without -f only as the same document in the same format.
TEST(HostTarget, ConvertingOntoItselfInAnotherFormatNeedsForce) {
  TempDir t;
  ASSERT_EQ(Quillery(t, {"-q", "generate", "10", t / "s.qyd"}).status, 0);
  ASSERT_EQ(symlink("s.qyd", (t / "view.qyz").c_str()), 0);
  WriteFile(t / "page.html", "<html><body><table><tr><td>mine</td></tr></table></body></html>");
  const std::string doc = ReadAll(t / "s.qyd"), page = ReadAll(t / "page.html");
  EXPECT_EQ(Quillery(t, {"-q", "convert", t / "s.qyd", t / "view.qyz"}).status, 1);
  EXPECT_EQ(Quillery(t, {"-q", "convert", t / "page.html", t / "page.html"}).status, 1);
  EXPECT_TRUE(ReadAll(t / "s.qyd") == doc && ReadAll(t / "page.html") == page);
}

TEST(HostTarget, ARewriteInPlaceKeepsTheOwner) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a file to another user";
  TempDir t;
  const std::string doc = t / "a.qyd";
  ASSERT_EQ(Quillery(t, {"-q", "generate", "10", doc}).status, 0);
  ASSERT_TRUE(chown(doc.c_str(), 65534, 65534) == 0 && chmod(doc.c_str(), 0600) == 0);
  struct stat st;
  ASSERT_TRUE(Quillery(t, {"-q", "convert", doc, doc}).status == 0 && stat(doc.c_str(), &st) == 0);
  EXPECT_TRUE(st.st_uid == 65534 && st.st_gid == 65534 && (st.st_mode & 07777) == 0600) << st.st_uid;
}

// A copy is a new document in every format that stores one: a new UID and
// none of the original's deletion records.
TEST(HostTarget, ACopyIsANewDocumentInEveryFormat) {
  TempDir t;
  ASSERT_EQ(Quillery(t, {"-q", "generate", "30", t / "s.qyd"}).status, 0);
  for (const std::string ext : {"qyd", "hqy", "qyz", "qye", "qydb", "qyde"}) {
    ASSERT_EQ(Quillery(t, {"-q", "convert", t / "s.qyd", t / ("c." + ext)}).status, 0);
    EXPECT_EQ(Quillery(t, {"-q", "compare", t / "s.qyd", t / ("c." + ext)}).status, 1) << ext;
    EXPECT_EQ(Quillery(t, {"-q", "compare", "--ignore-uid", t / "s.qyd", t / ("c." + ext)}).status, 0) << ext;
  }
  EXPECT_NE(ReadAll(t / "s.qyd").find("note_deleted="), std::string::npos);
  EXPECT_EQ(ReadAll(t / "c.hqy").find("note_deleted="), std::string::npos);
}

}  // namespace
