#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "base/File64.h"
#include "base/Log.h"
#include "common/TempDir.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::string out;
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return "<missing>";
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fd);
  return out;
}

void WriteFile(const std::string& path, const std::string& data) {
  File64 f;
  ASSERT_TRUE(f.Open(path, 54));
  ASSERT_EQ(f.Write(data.data(), static_cast<int>(data.size())), static_cast<int>(data.size()));
  ASSERT_TRUE(f.Close());
}

}  // namespace

TEST(File64, BufferIsWrittenBeforeReadsSeeksAndClose) {
  quillery_test::TempDir dir;
  std::string path = dir / "a.bin";
  File64 f;
  ASSERT_TRUE(f.Open(path, 55));
  std::string data(3000, 'x');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);

  ASSERT_EQ(f.Write(data.data(), 100), 100);
  EXPECT_EQ(f.GetPosition(), 0);  // still in the buffer
  EXPECT_EQ(File64::FileSize(path), 0);
  ASSERT_EQ(f.Write(data.data() + 100, 2900), 2900);
  EXPECT_EQ(f.Seek(0), 0);
  std::vector<char> back(4000);
  EXPECT_EQ(f.Read(back.data(), 4000), 3000);
  EXPECT_EQ(std::string(back.data(), 3000), data);
  EXPECT_EQ(f.Read(back.data(), 10), 0);  // end of file

  ASSERT_EQ(f.Write("tail", 4), 4);
  EXPECT_EQ(f.SeekEnd(), 3004);
  ASSERT_EQ(f.Write("!", 1), 1);
  EXPECT_TRUE(f.Close());
  EXPECT_FALSE(f.IsOpen());
  EXPECT_EQ(ReadAll(path), data + "tail!");
  EXPECT_EQ(f.Write("x", 1), -1);  // closed
  EXPECT_EQ(f.Read(back.data(), 1), -1);

  // A closed object opens again.
  ASSERT_TRUE(f.Open(path, 37));
  EXPECT_EQ(f.Read(back.data(), 5), 5);
  EXPECT_EQ(f.GetPosition(), 5);
}

TEST(File64, OpenFlagCombinations) {
  quillery_test::TempDir dir;
  std::string path = dir / "f.txt";
  mode_t old = umask(022);
  File64 f;
  EXPECT_FALSE(f.Open(path, 37));  // read, must exist
  EXPECT_FALSE(f.Open(path, 45));
  EXPECT_FALSE(f.Open(path, 38));  // write, must exist
  EXPECT_FALSE(f.Open(path, 39));
  EXPECT_FALSE(File64::PathExists(path));

  ASSERT_TRUE(f.Open(path, 18));  // write, create
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  f.Write("hello world", 11);
  f.Close();

  ASSERT_TRUE(f.Open(path, 18));  // no truncation
  EXPECT_EQ(File64::FileSize(path), 11);
  f.Write("J", 1);
  f.Close();
  EXPECT_EQ(ReadAll(path), "Jello world");

  ASSERT_TRUE(f.Open(path, 38));  // write only, existing
  char c;
  EXPECT_EQ(f.Read(&c, 1), -1);
  f.Close();

  ASSERT_TRUE(f.Open(path, 39));  // read and write, existing
  EXPECT_EQ(f.Read(&c, 1), 1);
  EXPECT_EQ(f.Write("E", 1), 1);
  f.Close();
  EXPECT_EQ(ReadAll(path), "JEllo world");

  ASSERT_TRUE(f.Open(path, 45));  // read only
  EXPECT_EQ(f.Write("z", 1), 1);  // buffered ...
  EXPECT_FALSE(f.Flush());        // ... and refused by the descriptor
  EXPECT_TRUE(f.HasError());
  EXPECT_FALSE(f.Close());
  EXPECT_EQ(ReadAll(path), "JEllo world");

  ASSERT_TRUE(f.Open(path, 54));  // truncates
  EXPECT_FALSE(f.HasError());     // a new open clears the error
  f.Close();
  EXPECT_EQ(File64::FileSize(path), 0);
  WriteFile(path, "abc");
  ASSERT_TRUE(f.Open(path, 55));  // read/write, truncates
  EXPECT_EQ(f.Read(&c, 1), 0);
  f.Close();

  EXPECT_FALSE(f.Open(dir.Path(), 37));  // folders are refused
  EXPECT_FALSE(f.Open(dir / "no/such/dir/x", 54));
  EXPECT_EQ(File64::FileSize(dir / "none"), -1);
  EXPECT_GT(File64::DriveFreeSize(dir.Path()), 0);
  EXPECT_EQ(File64::DriveFreeSize(dir / "none"), -1);
  umask(old);
}

TEST(File64, DescriptorIsCloseOnExec) {
  quillery_test::TempDir dir;
  File64 f;
  ASSERT_TRUE(f.Open(dir / "x", 54));
  EXPECT_TRUE(fcntl(f.GetDescriptor(), F_GETFD) & FD_CLOEXEC);
}

TEST(File64, LocksActLikeTwoProcesses) {
  quillery_test::TempDir dir;
  std::string path = dir / "lock.qyd";
  WriteFile(path, "x");
  File64 a, b;
  ASSERT_TRUE(a.Open(path, 37));
  ASSERT_TRUE(b.Open(path, 37));
  {
    quillery::LogCapture cap(LOG_INFO);
    EXPECT_TRUE(a.Lock(false));
    EXPECT_TRUE(cap.Contains("exclusive=0 [" + path + "]"));
  }
  EXPECT_TRUE(b.Lock(false));  // shared + shared
  b.Unlock();
  EXPECT_FALSE(b.IsLocked());
  EXPECT_FALSE(b.Lock(true));  // exclusive against a shared lock, no blocking
  a.Unlock();
  EXPECT_TRUE(b.Lock(true));
  EXPECT_FALSE(a.Lock(false));
  EXPECT_TRUE(a.Close());
  EXPECT_FALSE(a.Lock(false));  // not open
  // Closing the last descriptor drops the lock.
  b.Close();
  EXPECT_FALSE(b.IsLocked());
  ASSERT_TRUE(a.Open(path, 37));
  EXPECT_TRUE(a.Lock(true));
}

TEST(File64, CopyAndDetachShareOneDescriptor) {
  quillery_test::TempDir dir;
  std::string path = dir / "shared.txt";
  File64 other;
  {
    File64 source;
    ASSERT_TRUE(source.Open(path, 55));
    ASSERT_TRUE(source.Lock(true));
    ASSERT_EQ(source.Write("pending", 7), 7);
    File64 target;
    target = source;  // pending bytes are written once, before sharing
    EXPECT_EQ(File64::FileSize(path), 7);
    EXPECT_TRUE(target.IsLocked());
    EXPECT_EQ(target.GetDescriptor(), source.GetDescriptor());
    EXPECT_TRUE(source.Detach());
    EXPECT_FALSE(source.IsOpen());
    EXPECT_FALSE(source.IsLocked());
    // The target still holds the descriptor and the lock.
    ASSERT_TRUE(other.Open(path, 37));
    EXPECT_FALSE(other.Lock(false));
    EXPECT_EQ(target.Write("+more", 5), 5);
    EXPECT_TRUE(target.Close());
  }
  EXPECT_EQ(ReadAll(path), "pending+more");
  EXPECT_TRUE(other.Lock(false));  // lock gone with the last close
}

TEST(File64, CloseOfOneSharerLeavesTheOtherWorking) {
  quillery_test::TempDir dir;
  std::string path = dir / "s.txt";
  File64 a;
  ASSERT_TRUE(a.Open(path, 54));
  File64 b(a);
  EXPECT_TRUE(a.Close());  // not the last sharer: the descriptor stays open
  EXPECT_EQ(b.Write("ok", 2), 2);
  EXPECT_TRUE(b.Close());
  EXPECT_EQ(ReadAll(path), "ok");
}

// Writes past RLIMIT_FSIZE in a child (SIGXFSZ ignored) and reports through
// the exit code which checks saw the failure.
TEST(File64, WriteFailureIsSeenByFlushAndClose) {
  quillery_test::TempDir dir;
  std::string path = dir / "full.bin";
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl = {5000, 5000};
    setrlimit(RLIMIT_FSIZE, &rl);
    int code = 0;
    {
      File64 f;
      if (!f.Open(path, 54)) _exit(10);
      char buf[1000] = {0};
      for (int i = 0; i < 5; ++i)
        if (f.Write(buf, 1000) != 1000) code |= 1;  // all fit in the buffer rounds
      if (f.Write(buf, 1000) == 1000 && f.Write(buf, 1000) == 1000 && f.Flush()) code |= 2;
      if (!f.HasError()) code |= 4;
      if (f.Write(buf, 10) != -1) code |= 8;  // sticky
      if (f.Close()) code |= 16;
    }
    {
      // One large write that goes straight to the descriptor.
      File64 g;
      if (!g.Open(path, 54)) _exit(11);
      std::vector<char> big(20000, 'b');
      int n = g.Write(big.data(), 20000);
      if (n == 20000 || n > 5000) code |= 32;
      if (g.Close()) code |= 64;
    }
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
