#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/File64.h"
#include "base/FileUtil.h"
#include "base/Log.h"
#include "common/TempDir.h"

TEST(FileUtil, ParentDirUsesOnlyTheGivenSeparator) {
  EXPECT_EQ(GetParentDir("/a/b/c.txt", '/'), "/a/b/");
  EXPECT_EQ(GetParentDir("/a/b/", '/'), "/a/");
  EXPECT_EQ(GetParentDir("/x", '/'), "/");
  EXPECT_EQ(GetParentDir("/", '/'), "/");
  EXPECT_EQ(GetParentDir("x", '/'), "/");
  EXPECT_EQ(GetParentDir("", '/'), "/");
  EXPECT_EQ(GetParentDir("c:\\a\\b.txt", '/'), "/");
  EXPECT_EQ(GetParentDir("c:\\a\\b.txt", '\\'), "c:\\a\\");
}

TEST(FileUtil, NamePartsOfAPath) {
  EXPECT_EQ(GetFileDir("/a/b/c.txt"), "/a/b/");
  EXPECT_EQ(GetFileDir("c:\\docs\\x.qyd"), "c:\\docs\\");
  EXPECT_EQ(GetFileDir("plain.txt"), "plain.txt");
  EXPECT_EQ(GetBaseName("/a/b/c.txt"), "c.txt");
  EXPECT_EQ(GetBaseName("/a/b/"), "b");
  EXPECT_EQ(GetBaseName("name"), "name");
  EXPECT_EQ(GetTitleName("/x/y.tar.gz"), "y.tar");
  EXPECT_EQ(GetTitleName("/x.d/readme"), "readme");
  EXPECT_EQ(GetFileExt("/x/y.tar.gz"), ".gz");
  EXPECT_EQ(GetFileExt("/x.d/readme"), "");
  EXPECT_EQ(GetFileExt("noext"), "");
  std::string p;
  EnsureTerminated(p, '/');
  EXPECT_EQ(p, "/");
  p = "/a";
  EnsureTerminated(p, '/');
  EXPECT_EQ(p, "/a/");
  EnsureTerminated(p, '/');
  EXPECT_EQ(p, "/a/");
  p = "c:\\a\\";
  EnsureTerminated(p, '/');
  EXPECT_EQ(p, "c:\\a\\");
}

TEST(FileUtil, PathKinds) {
  EXPECT_TRUE(IsAbsolutePath("/a"));
  EXPECT_FALSE(IsAbsolutePath(""));
  EXPECT_FALSE(IsAbsolutePath("a/b"));
  EXPECT_TRUE(IsAbsoluteLocalPathURL("file:///"));
  EXPECT_TRUE(IsAbsoluteLocalPathURL("file:///home/x.png"));
  EXPECT_FALSE(IsAbsoluteLocalPathURL("lua:///"));
  EXPECT_TRUE(IsAbsoluteLocalPathURL("lua:///x"));
  EXPECT_FALSE(IsAbsoluteLocalPathURL("file://host/x"));
  EXPECT_TRUE(IsImageFile("/p/A.JPG"));
  EXPECT_TRUE(IsImageFile("b.jpeg"));
  EXPECT_TRUE(IsImageFile("c.Png"));
  EXPECT_TRUE(IsImageFile("d.gif"));
  EXPECT_FALSE(IsImageFile("e.bmp"));
  EXPECT_FALSE(IsImageFile("png"));
  for (const char* ext : {".qyd", ".QYE", ".qydb", ".qyDE", ".qyz"})
    EXPECT_TRUE(is_main_format(std::string("/d/doc") + ext)) << ext;
  EXPECT_FALSE(is_main_format("/d/doc.hqy"));
  EXPECT_FALSE(is_main_format("/d/doc.html"));
  EXPECT_FALSE(is_main_format("/d.qyd/doc"));
}

TEST(FileUtil, AbsolutePathsResolveComponentByComponent) {
  std::string p = "../img/a.png";
  EXPECT_TRUE(ConvertToAbsolutePath(p, "/d/docs"));
  EXPECT_EQ(p, "/d/img/a.png");
  p = "..\\img\\b.png";
  ConvertToAbsolutePath(p, "/d/docs/");
  EXPECT_EQ(p, "/d/img/b.png");
  p = "./x";
  ConvertToAbsolutePath(p, "/d");
  EXPECT_EQ(p, "/d/x");
  p = "my./x/./y.";  // names ending in "." are not "./"
  ConvertToAbsolutePath(p, "/d");
  EXPECT_EQ(p, "/d/my./x/y.");
  p = "../../../../etc";
  ConvertToAbsolutePath(p, "/d/e");
  EXPECT_EQ(p, "/etc");
  p = "sub/";
  ConvertToAbsolutePath(p, "/d//e");
  EXPECT_EQ(p, "/d/e/sub/");
  p = "/abs/../other";  // already absolute: only normalised
  ConvertToAbsolutePath(p, "/d");
  EXPECT_EQ(p, "/other");
}

TEST(FileUtil, RelativePathsCompareWholeComponents) {
  std::string p = "/d/img/a.png";
  EXPECT_TRUE(ConvertToRelativePath(p, "/d/docs/page.html"));
  EXPECT_EQ(p, "../img/a.png");
  p = "/ab/c";
  EXPECT_TRUE(ConvertToRelativePath(p, "/a/x.html"));
  EXPECT_EQ(p, "../ab/c");
  p = "/d/docs/pics/p.png";
  EXPECT_TRUE(ConvertToRelativePath(p, "/d/docs/page.html"));
  EXPECT_EQ(p, "pics/p.png");
  p = "/D/docs/a";  // case matters
  EXPECT_TRUE(ConvertToRelativePath(p, "/d/docs/x"));
  EXPECT_EQ(p, "../../D/docs/a");
  p = "/d";
  EXPECT_TRUE(ConvertToRelativePath(p, "/d/docs/x"));
  EXPECT_EQ(p, "..");
  p = "rel/a.png";
  EXPECT_FALSE(ConvertToRelativePath(p, "/d/x.html"));
  EXPECT_EQ(p, "rel/a.png");
  p = "/d/a.png";
  EXPECT_FALSE(ConvertToRelativePath(p, "docs/x.html"));
  EXPECT_EQ(p, "/d/a.png");
}

TEST(FileUtil, FoldersAndWriteAccess) {
  quillery_test::TempDir dir;
  std::string deep = dir / "a/b/c";
  EXPECT_TRUE(EnsureDirExists(deep));
  EXPECT_TRUE(EnsureDirExists(deep));  // exists already
  struct stat st;
  ASSERT_EQ(stat(deep.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  {
    File64 f;
    ASSERT_TRUE(f.Open(dir / "file", 54));
  }
  EXPECT_FALSE(EnsureDirExists(dir / "file"));
  EXPECT_FALSE(EnsureDirExists(dir / "file/sub"));

  EXPECT_TRUE(CheckFileWriteAccess(dir / "file"));
  quillery::LogCapture cap;
  std::string missing = dir / "missing";
  EXPECT_FALSE(CheckFileWriteAccess(missing));
  EXPECT_TRUE(cap.Has("File not writeable: " + missing + "\n"));
}

TEST(FileUtil, ReadOnlyFileIsNotWriteable) {
  if (geteuid() != 0) {
    quillery_test::TempDir dir;
    std::string path = dir / "ro";
    { File64 f; ASSERT_TRUE(f.Open(path, 54)); }
    chmod(path.c_str(), 0400);
    EXPECT_FALSE(CheckFileWriteAccess(path));
    return;
  }
  // As root, check in a child that has given up its privileges.
  quillery_test::TempDir dir;
  std::string path = dir / "ro";
  { File64 f; ASSERT_TRUE(f.Open(path, 54)); }
  chmod(path.c_str(), 0400);
  chmod(dir.Path().c_str(), 0755);
  ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    _exit(CheckFileWriteAccess(path) ? 1 : 0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "cannot drop privileges";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
