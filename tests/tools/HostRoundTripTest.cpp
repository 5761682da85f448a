// Converting through the host keeps the document; a stopped or failed load
// leaves no output behind.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

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

namespace {

// The formats that store a whole document (the .html export reads back as
// one note, so it is no round trip).
const std::vector<std::string> kFormats = {".qyd", ".hqy"};

TEST(HostRoundTrip, ConvertBetweenEveryPairKeepsTheDocument) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"generate", "400", t / "origin.qyd"}).status, 0);
  for (const std::string& from : kFormats) {
    const std::string src = t / ("src" + from);
    ASSERT_EQ(RunHost(t.Path(), {"--keep-id", "convert", t / "origin.qyd", src}).status, 0) << from;
    for (const std::string& to : kFormats) {
      const std::string dst = t / ("dst-" + from.substr(1) + to);
      HostRun r = RunHost(t.Path(), {"--keep-id", "convert", src, dst});
      ASSERT_EQ(r.status, 0) << from << " -> " << to << ": " << r.err;
      EXPECT_TRUE(r.err.empty()) << r.err;
      r = RunHost(t.Path(), {"compare", t / "origin.qyd", dst});
      EXPECT_EQ(r.status, 0) << from << " -> " << to << ": " << r.out;
      EXPECT_EQ(r.out, "equal: 400 notes\n");
    }
  }
}

TEST(HostRoundTrip, ConvertWithoutKeepIdMakesANewDocumentIdentity) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"generate", "50", t / "a.qyd"}).status, 0);
  ASSERT_EQ(RunHost(t.Path(), {"convert", t / "a.qyd", t / "b.qyd"}).status, 0);
  HostRun r = RunHost(t.Path(), {"compare", t / "a.qyd", t / "b.qyd"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("different: document: UID"), std::string::npos) << r.out;
  r = RunHost(t.Path(), {"--ignore-uid", "compare", t / "a.qyd", t / "b.qyd"});
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

TEST(HostRoundTrip, DamagedInputIsOneLineAndNoTarget) {
  TempDir t;
  std::string junk(4096, '\0');
  for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>(i * 131 + 7);
  FILE* f = fopen((t / "junk.qyd").c_str(), "wb");
  ASSERT_TRUE(f);
  fwrite(junk.data(), 1, junk.size(), f);
  fclose(f);
  HostRun r = RunHost(t.Path(), {"convert", t / "junk.qyd", t / "out.hqy"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(LineCount(r.err), 1) << r.err;
  EXPECT_NE(r.err.find("cannot load " + (t / "junk.qyd") + ": not a valid document"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("(5)"), std::string::npos) << r.err;
  EXPECT_FALSE(Exists(t / "out.hqy"));
}

TEST(HostRoundTrip, CtrlCWhileLoadingStopsWithoutOutput) {
  TempDir t;
  // The input is a pipe: the host is certainly reading it (its open of the
  // pipe has returned) when the signal comes, and the load goes on only as
  // far as this test feeds it.
  ASSERT_EQ(RunHost(t.Path(), {"generate", "300", t / "whole.qyd"}).status, 0);
  const std::string doc = ReadAll(t / "whole.qyd");
  ASSERT_EQ(mkfifo((t / "in.qyd").c_str(), 0600), 0);
  HostCall call;
  call.args = {"convert", t / "in.qyd", t / "out.qyd"};
  const pid_t pid = quillery_test::StartHost(call, t / "out.txt", t / "err.txt");
  const int fd = open((t / "in.qyd").c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, doc.data(), doc.size() / 3), static_cast<ssize_t>(doc.size() / 3));
  kill(pid, SIGINT);
  // The rest follows; a reader that already stopped gets EPIPE, not a signal.
  signal(SIGPIPE, SIG_IGN);
  (void)!write(fd, doc.data() + doc.size() / 3, doc.size() - doc.size() / 3);
  close(fd);
  EXPECT_EQ(quillery_test::WaitHost(pid), 130);
  const std::string err = ReadAll(t / "err.txt");
  EXPECT_EQ(LineCount(err), 1) << err;
  EXPECT_NE(err.find("cancelled (1)"), std::string::npos) << err;
  EXPECT_FALSE(Exists(t / "out.qyd"));
}

}  // namespace
