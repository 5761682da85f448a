// The host takes what it is given as given: a password file's bytes, an
// output's name.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "HostRunner.h"
#include "common/TempDir.h"

using namespace quillery_test;

namespace {

// A NUL byte would end the password there (the ciphers take a C string):
// such a file is refused before anything is read or written.
TEST(HostNames, APasswordFileHoldingANulByteIsRefused) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"generate", "5", t / "a.qyd"}).status, 0);
  WriteFile(t / "k.pw", std::string("k\0abcdefghijklm", 15));
  for (const char* option : {"--to-password-file", "--password-file"}) {
    const HostRun r = RunHost(t.Path(), {option, t / "k.pw", "convert", t / "a.qyd", t / "e.qye"});
    EXPECT_EQ(r.status, 2) << option;
    EXPECT_EQ(LineCount(r.err), 1) << r.err;
    EXPECT_NE(r.err.find("holds a NUL byte"), std::string::npos) << r.err;
    EXPECT_FALSE(Exists(t / "e.qye")) << option;
  }
}

// The file checked for --force and written is the one the kernel opens for
// the name: a backslash is part of a name, and ".." after a link leaves the
// folder the link points at.
TEST(HostNames, TheFileWrittenIsTheFileNamed) {
  TempDir t;
  ASSERT_EQ(mkdir((t / "we").c_str(), 0700), 0);
  ASSERT_EQ(mkdir((t / "deep").c_str(), 0700), 0);
  ASSERT_EQ(mkdir((t / "deep/sub").c_str(), 0700), 0);
  ASSERT_EQ(symlink("deep/sub", (t / "lnk").c_str()), 0);
  ASSERT_EQ(RunHost(t.Path(), {"generate", "5", t / "small.qyd"}).status, 0);
  WriteFile(t / "we/ird.qyd", "kept 1");
  WriteFile(t / "T.qyd", "kept 2");
  HostCall call;
  call.cwd = t.Path();
  call.args = {"convert", "small.qyd", "we\\ird.qyd"};
  EXPECT_EQ(RunHost(t.Path(), call).status, 0);
  call.args = {"convert", "small.qyd", "lnk/../T.qyd"};
  EXPECT_EQ(RunHost(t.Path(), call).status, 0);
  EXPECT_EQ(ReadAll(t / "we/ird.qyd"), "kept 1");
  EXPECT_EQ(ReadAll(t / "T.qyd"), "kept 2");
  for (const char* written : {"we\\ird.qyd", "deep/T.qyd"})
    EXPECT_NE(ReadAll(t / written).find("</DL>"), std::string::npos) << written;
  const HostRun again = RunHost(t.Path(), call);  // now it exists: --force is needed
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("exists"), std::string::npos) << again.err;
}

}  // namespace
