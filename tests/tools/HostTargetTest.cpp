// What the host's convert does to its target: converting an encrypted
// document onto itself changes its password, or leaves it whole under the
// old one; a new target appears only once it is complete.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

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

}  // namespace
