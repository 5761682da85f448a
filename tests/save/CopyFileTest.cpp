#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/Log.h"
#include "common/TempDir.h"
#include "save/CopyFile.h"

namespace {

std::string ReadAll(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return "<missing>";
  std::string out;
  char buf[8192];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fd);
  return out;
}

void WriteFile(const std::string& path, const std::string& data, mode_t mode = 0644) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  close(fd);
  chmod(path.c_str(), mode);
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

// Runs fn in a child with a file-size limit (SIGXFSZ ignored); its result is
// the child's exit code.
int RunWithSizeLimit(rlim_t limit, bool (*fn)(const std::string&, const std::string&),
                     const std::string& a, const std::string& b) {
  pid_t pid = fork();
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl = {limit, limit};
    setrlimit(RLIMIT_FSIZE, &rl);
    _exit(fn(a, b) ? 1 : 0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool CopyFileFn(const std::string& a, const std::string& b) { return copy_file(a.c_str(), b.c_str()); }

}  // namespace

TEST(CopyFile, CopiesBytesAndKeepsPermissionBits) {
  quillery_test::TempDir dir;
  std::string src = dir / "src.bin", dst = dir / "dst.bin";
  std::string data = RandomBytes(300 * 1024 + 17, 1);
  WriteFile(src, data, 0600);
  ASSERT_TRUE(copy_file(src.c_str(), dst.c_str()));
  EXPECT_EQ(ReadAll(dst), data);
  EXPECT_EQ(ModeOf(dst), 0600u);  // a private file stays private

  // An empty file, and an existing bigger target that gets truncated and
  // takes the source's bits.
  std::string empty = dir / "empty";
  WriteFile(empty, "", 0754);
  WriteFile(dst, std::string(5000, 'x'), 0666);
  ASSERT_TRUE(copy_file(empty.c_str(), dst.c_str()));
  EXPECT_EQ(ReadAll(dst), "");
  EXPECT_EQ(ModeOf(dst), 0754u);

  // A short file goes through the buffer and is written at close.
  WriteFile(src, "short", 0640);
  ASSERT_TRUE(copy_file(src.c_str(), dst.c_str()));
  EXPECT_EQ(ReadAll(dst), "short");
}

TEST(CopyFile, MissingSourceOrTargetFolder) {
  quillery_test::TempDir dir;
  std::string missing = dir / "none", dst = dir / "dst";
  quillery::LogCapture cap;
  EXPECT_FALSE(copy_file(missing.c_str(), dst.c_str()));
  EXPECT_TRUE(cap.Has("copy_file: fail to open file [" + missing + "]\n"));
  EXPECT_FALSE(Exists(dst));

  std::string src = dir / "src";
  WriteFile(src, "abc");
  std::string deep = dir / "no/such/dst";
  EXPECT_FALSE(copy_file(src.c_str(), deep.c_str()));
  EXPECT_TRUE(cap.Has("copy_file: fail to create file [" + deep + "]\n"));
  EXPECT_FALSE(Exists(dir / "no"));
}

TEST(CopyFile, SameFileIsRefusedAndLeftIntact) {
  quillery_test::TempDir dir;
  std::string src = dir / "doc.qyd";
  WriteFile(src, "precious");
  std::string hard = dir / "hard", soft = dir / "soft";
  ASSERT_EQ(link(src.c_str(), hard.c_str()), 0);
  ASSERT_EQ(symlink(src.c_str(), soft.c_str()), 0);
  EXPECT_FALSE(copy_file(src.c_str(), src.c_str()));
  EXPECT_FALSE(copy_file(src.c_str(), hard.c_str()));
  EXPECT_FALSE(copy_file(src.c_str(), soft.c_str()));
  EXPECT_FALSE(copy_file(soft.c_str(), src.c_str()));
  EXPECT_EQ(ReadAll(src), "precious");
}

TEST(CopyFile, OnlyRegularFilesAreCopied) {
  quillery_test::TempDir dir;
  std::string sub = dir / "sub", fifo = dir / "fifo", dst = dir / "dst";
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_FALSE(copy_file(sub.c_str(), dst.c_str()));
  EXPECT_FALSE(copy_file(fifo.c_str(), dst.c_str()));  // returns, no blocking open
  EXPECT_FALSE(Exists(dst));
}

TEST(CopyFile, ReadErrorRemovesTheTarget) {
  // /proc/self/mem is a regular file whose first page cannot be read.
  struct stat st;
  if (stat("/proc/self/mem", &st) != 0 || !S_ISREG(st.st_mode)) GTEST_SKIP() << "no /proc";
  quillery_test::TempDir dir;
  std::string dst = dir / "dst";
  quillery::LogCapture cap;
  EXPECT_FALSE(copy_file("/proc/self/mem", dst.c_str()));
  EXPECT_TRUE(cap.Contains("copy_file: read failed at byte offset 0"));
  EXPECT_FALSE(Exists(dst));
}

TEST(CopyFile, WriteFailureRemovesTheTarget) {
  quillery_test::TempDir dir;
  std::string src = dir / "src", dst = dir / "dst";
  WriteFile(src, RandomBytes(200000, 2));
  EXPECT_EQ(RunWithSizeLimit(100000, CopyFileFn, src, dst), 0);
  EXPECT_FALSE(Exists(dst));
  // A file small enough to wait in the buffer fails only at the final close.
  WriteFile(src, std::string(1500, 'q'));
  EXPECT_EQ(RunWithSizeLimit(1000, CopyFileFn, src, dst), 0);
  EXPECT_FALSE(Exists(dst));
  EXPECT_EQ(RunWithSizeLimit(100000, CopyFileFn, src, dst), 1);
  EXPECT_EQ(ReadAll(dst), std::string(1500, 'q'));
}

TEST(CopyDir, CopiesATreeWithLinksAndKeepsExtraTargetFiles) {
  quillery_test::TempDir dir;
  std::string src = dir / "src", dst = dir / "out/dst";
  ASSERT_EQ(mkdir(src.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((src + "/a").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((src + "/a/b").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((src + "/empty").c_str(), 0755), 0);
  WriteFile(src + "/top.txt", "top");
  WriteFile(src + "/a/b/deep.bin", RandomBytes(70000, 3), 0600);
  std::string outside = dir / "outside";
  ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
  WriteFile(outside + "/o.txt", "linked folder");
  WriteFile(dir / "target.txt", "linked file");
  ASSERT_EQ(symlink(outside.c_str(), (src + "/dirlink").c_str()), 0);
  ASSERT_EQ(symlink((dir / "target.txt").c_str(), (src + "/filelink").c_str()), 0);
  ASSERT_EQ(mkdir((dir / "out").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(dst.c_str(), 0755), 0);
  WriteFile(dst + "/extra", "stays");

  mode_t old = umask(022);
  ASSERT_TRUE(copy_dir((src + "/").c_str(), dst.c_str()));
  umask(old);
  EXPECT_EQ(ReadAll(dst + "/top.txt"), "top");
  EXPECT_EQ(ReadAll(dst + "/a/b/deep.bin"), RandomBytes(70000, 3));
  EXPECT_EQ(ModeOf(dst + "/a/b/deep.bin"), 0600u);
  EXPECT_EQ(ModeOf(dst + "/a"), 0755u);
  EXPECT_EQ(ModeOf(dst + "/empty"), 0755u);
  EXPECT_EQ(ReadAll(dst + "/dirlink/o.txt"), "linked folder");
  EXPECT_EQ(ReadAll(dst + "/filelink"), "linked file");
  struct stat st;
  ASSERT_EQ(lstat((dst + "/dirlink").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  ASSERT_EQ(lstat((dst + "/filelink").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(ReadAll(dst + "/extra"), "stays");

  // New folders take 0755 minus the umask.
  std::string dst2 = dir / "private";
  old = umask(077);
  ASSERT_TRUE(copy_dir(src.c_str(), dst2.c_str()));
  umask(old);
  EXPECT_EQ(ModeOf(dst2), 0700u);
  EXPECT_EQ(ModeOf(dst2 + "/a/b"), 0700u);
}

TEST(CopyDir, FailuresEndTheCopy) {
  quillery_test::TempDir dir;
  std::string src = dir / "src", dst = dir / "dst";
  quillery::LogCapture cap;
  EXPECT_FALSE(copy_dir(src.c_str(), dst.c_str()));  // missing source
  EXPECT_TRUE(cap.Has("copy_dir: fail to open src dir [" + src + "]\n"));
  EXPECT_FALSE(Exists(dst));

  ASSERT_EQ(mkdir(src.c_str(), 0755), 0);
  WriteFile(dir / "blocker", "file in the way");
  std::string blocked = dir / "blocker/dst";
  EXPECT_FALSE(copy_dir(src.c_str(), blocked.c_str()));
  EXPECT_TRUE(cap.Has("copy_dir: fail to create dst dir [" + blocked + "]\n"));

  // A FIFO in the tree fails the copy; the trailing slash of the source
  // gives no double slash in the entry paths.
  ASSERT_EQ(mkfifo((src + "/pipe").c_str(), 0644), 0);
  cap.Clear();
  EXPECT_FALSE(copy_dir((src + "/").c_str(), dst.c_str()));
  EXPECT_TRUE(cap.Has("copy_file: not a regular file [" + src + "/pipe]\n"));
  EXPECT_FALSE(Exists(dst + "/pipe"));
}

TEST(CopyDir, LoopsAndTargetsInsideTheSourceEndWithFalse) {
  quillery_test::TempDir dir;
  std::string src = dir / "src";
  ASSERT_EQ(mkdir(src.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((src + "/sub").c_str(), 0755), 0);
  WriteFile(src + "/sub/f", "f");
  ASSERT_EQ(symlink(src.c_str(), (src + "/sub/up").c_str()), 0);
  EXPECT_FALSE(copy_dir(src.c_str(), (dir / "dst").c_str()));
  ASSERT_EQ(unlink((src + "/sub/up").c_str()), 0);

  std::string inside = src + "/sub/copy";
  EXPECT_FALSE(copy_dir(src.c_str(), inside.c_str()));
  EXPECT_FALSE(Exists(inside));
  EXPECT_FALSE(copy_dir(src.c_str(), src.c_str()));
  EXPECT_FALSE(copy_dir(src.c_str(), (src + "/../src/./sub/x").c_str()));
  // Through a link to the source, the target is still inside it.
  std::string alias = dir / "alias";
  ASSERT_EQ(symlink(src.c_str(), alias.c_str()), 0);
  EXPECT_FALSE(copy_dir(alias.c_str(), (src + "/new").c_str()));
  EXPECT_EQ(ReadAll(src + "/sub/f"), "f");
  // A sibling whose name shares the prefix is not inside.
  EXPECT_TRUE(copy_dir(src.c_str(), (dir / "src2").c_str()));
  EXPECT_EQ(ReadAll(dir / "src2/sub/f"), "f");
}
