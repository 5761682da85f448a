// The compressed container at object level: byte layout, damaged and odd headers,
// locks on the kept file, saving over the kept file, append, failed saves and dumps.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include "ContainerOracle.h"
#include "ContainerTestUtil.h"
#include "base/File64.h"
#include "base/Progress.h"

using namespace qycont;
namespace oracle = container_oracle;

namespace {

// The rich document rendered, and that rendering in a ".qyz" made by the oracle.
struct Sample {
  NoteDocument doc;
  std::string html;
  Sample() {
    RichDocument(doc);
    html = Render(doc);
  }
};

int LoadZ(const std::string& path, NoteDocument& into, FormatIO_ZlibHTML* fmt = nullptr) {
  FormatIO_ZlibHTML local;
  return (fmt ? *fmt : local).Load(path.c_str(), into, -1);
}

int SaveZ(FormatIO_ZlibHTML& fmt, const std::string& path, NoteDocument& doc, bool append = false) {
  RecursiveTreeWalker walker(doc);
  return fmt.Save(path.c_str(), walker, append);
}

TEST(ZlibHtml, LayoutOfASave) {
  TempDir dir;
  Sample s;
  const std::string path = dir / "a.qyz";
  FormatIO_ZlibHTML fmt;
  ASSERT_EQ(0, SaveZ(fmt, path, s.doc));
  const std::string file = ReadFile(path);
  ASSERT_GT(file.size(), 31u);
  EXPECT_EQ("QUILLERYzlib1", file.substr(0, 13));
  EXPECT_EQ(std::string(8, '\0'), file.substr(13, 8));
  EXPECT_EQ(file.size() - 29, oracle::ReadBE64(file, 21));
  EXPECT_EQ("\x78\x5E", file.substr(29, 2));  // zlib header of level 4
  EXPECT_EQ(s.html, PythonInflateQyz(path));
}

TEST(ZlibHtml, HeadersThatLoadAndHeadersThatDoNot) {
  TempDir dir;
  Sample s;
  const std::string good = oracle::MakeZlib(s.html);
  const std::string path = dir / "h.qyz";
  auto loads = [&](const std::string& bytes) {
    return LoadBytes(path, bytes, s.html, [](const std::string& p, NoteDocument& d) { return LoadZ(p, d); });
  };
  EXPECT_EQ(0, loads(good));
  // "zlib1" is the only version: another tag is no document of this program's, and
  // its stream is neither loaded nor dumped.
  for (const char* tag : {"xxxxx", "zlib2", "zlib0", "ZLIB1"}) {
    std::string odd = good;
    odd.replace(8, 5, tag);
    EXPECT_EQ(5, loads(odd)) << tag;
    WriteFile(dir / "odd.html", "old");
    FormatIO_ZlibHTML fmt;
    EXPECT_FALSE(fmt.DumpFile(path.c_str(), (dir / "odd.html").c_str(), nullptr)) << tag;
    EXPECT_EQ("old", ReadFile(dir / "odd.html"));
  }
  std::string larger = good;
  larger.replace(21, 8, oracle::BE64(good.size() * 2));  // only an upper bound
  EXPECT_EQ(0, loads(larger + "trailing bytes after the stream"));
  std::string unpatched = good;
  unpatched.replace(21, 8, std::string(8, '\0'));  // 0 reads to the end
  EXPECT_EQ(0, loads(unpatched));

  for (size_t n = 0; n < 29; ++n) EXPECT_EQ(5, loads(good.substr(0, n))) << n;
  std::string smaller = good;
  smaller.replace(21, 8, oracle::BE64(good.size() - 40));
  EXPECT_EQ(5, loads(smaller));
  EXPECT_EQ(5, loads(good.substr(0, good.size() - 1)));
  EXPECT_EQ(5, loads(good.substr(0, good.size() / 2)));
  std::string flipped = good;
  flipped[good.size() / 2] ^= 0x20;
  EXPECT_EQ(5, loads(flipped));
  std::string wrongMagic = good;
  wrongMagic[0] = 'q';
  EXPECT_EQ(5, loads(wrongMagic));
  EXPECT_EQ(5, loads(oracle::MakeEnc(3, "pw", s.html)));  // a ".qye" renamed
  NoteDocument doc;
  EXPECT_EQ(2, LoadZ(dir / "missing.qyz", doc));
}

TEST(ZlibHtml, KeptFileLocksAndSavingOverIt) {
  TempDir dir;
  Sample s;
  const std::string path = dir / "k.qyz";
  std::string reserved = "RESERVED";
  WriteFile(path, oracle::MakeZlib(s.html, reserved));

  FormatIO_ZlibHTML fmt;
  NoteDocument doc;
  ASSERT_EQ(0, LoadZ(path, doc, &fmt));
  File64 other;  // another open file description stands for another process
  ASSERT_TRUE(other.Open(path, F64_READ | F64_OPEN_EXISTING));
  EXPECT_TRUE(other.Lock(false));
  other.Unlock();
  EXPECT_FALSE(other.Lock(true));
  EXPECT_FALSE(fmt.IsLoadedByAnotherProcess());

  // Saving a shorter document over the kept file rewrites it from the start.
  NoteDocument shorter;
  AddNote(shorter, "", "ONLY", "only", "x");
  ASSERT_EQ(0, SaveZ(fmt, path, shorter));
  const std::string file = ReadFile(path);
  EXPECT_EQ(reserved, file.substr(13, 8));  // carried over from the file loaded
  EXPECT_EQ(file.size() - 29, oracle::ReadBE64(file, 21));
  EXPECT_EQ(Render(shorter), oracle::Inflate(file.substr(29)));
  EXPECT_TRUE(other.Lock(false));
  other.Unlock();
  EXPECT_FALSE(other.Lock(true));

  // Saving elsewhere gives the old file up and keeps the new one.
  const std::string elsewhere = dir / "other.qyz";
  ASSERT_EQ(0, SaveZ(fmt, elsewhere, shorter));
  EXPECT_TRUE(other.Lock(true));
  other.Unlock();
  File64 third;
  ASSERT_TRUE(third.Open(elsewhere, F64_READ | F64_OPEN_EXISTING));
  EXPECT_FALSE(third.Lock(true));
  EXPECT_TRUE(third.Lock(false));
}

TEST(ZlibHtml, AppendAndFailedSaves) {
  TempDir dir;
  Sample s;
  const std::string path = dir / "app.qyz";
  const std::string prefix = "earlier contents of the file";
  WriteFile(path, prefix);
  {
    FormatIO_ZlibHTML fmt;
    ASSERT_EQ(0, SaveZ(fmt, path, s.doc, true));
  }
  const std::string file = ReadFile(path);
  EXPECT_EQ(prefix, file.substr(0, prefix.size()));
  const std::string container = file.substr(prefix.size());
  EXPECT_EQ("QUILLERYzlib1", container.substr(0, 13));
  EXPECT_EQ(container.size() - 29, oracle::ReadBE64(container, 21));
  EXPECT_EQ(s.html, oracle::Inflate(container.substr(29)));

  // A disk that fills up: an appended container is cut off again, a new file removed.
  auto bigDocSave = [&](const std::string& target, bool append) {
    return RunWithFileLimit(file.size() + 2048, [&]() {
      NoteDocument big;
      std::mt19937 rng(3);
      for (int i = 0; i < 300; ++i) {
        std::string text;
        for (int k = 0; k < 300; ++k) text += static_cast<char>('a' + rng() % 26);
        AddNote(big, "", "N" + std::to_string(i), "t", text);
      }
      FormatIO_ZlibHTML fmt;
      const int rc = SaveZ(fmt, target, big, append);
      return rc == 10 && !fmt.m_bFileLocked ? 0 : 1;
    });
  };
  EXPECT_EQ(0, bigDocSave(path, true));
  EXPECT_TRUE(file == ReadFile(path));
  EXPECT_EQ(0, bigDocSave(dir / "new.qyz", false));
  EXPECT_FALSE(Exists(dir / "new.qyz"));

  FormatIO_ZlibHTML fmt;
  EXPECT_EQ(4, SaveZ(fmt, dir.Path(), s.doc));                    // a folder
  EXPECT_EQ(4, SaveZ(fmt, dir / "missing.qyz", s.doc, true));     // append needs a file
}

TEST(ZlibHtml, DumpWritesTheMarkup) {
  TempDir dir;
  Sample s;
  const std::string good = oracle::MakeZlib(s.html);
  WriteFile(dir / "d.qyz", good);
  FormatIO_ZlibHTML fmt;
  EXPECT_TRUE(fmt.DumpFile((dir / "d.qyz").c_str(), (dir / "d.html").c_str(), nullptr));
  EXPECT_EQ(s.html, ReadFile(dir / "d.html"));

  // A damaged stream: false, and an existing output stays as it was.
  WriteFile(dir / "cut.qyz", good.substr(0, good.size() / 2));
  WriteFile(dir / "cut.html", "old");
  EXPECT_FALSE(fmt.DumpFile((dir / "cut.qyz").c_str(), (dir / "cut.html").c_str(), nullptr));
  EXPECT_EQ(ReadFile(dir / "cut.html"), "old");
  EXPECT_FALSE(File64::PathExists(dir / "cut.html.part"));
  EXPECT_FALSE(fmt.DumpFile((dir / "none.qyz").c_str(), (dir / "x.html").c_str(), nullptr));
  // Dumping a file onto itself would truncate it before reading.
  EXPECT_FALSE(fmt.DumpFile((dir / "d.qyz").c_str(), (dir / "./d.qyz").c_str(), nullptr));
  EXPECT_EQ(good, ReadFile(dir / "d.qyz"));
}

// A dump writes only the file it created itself, through its descriptor: a
// link planted at the temporary name is neither followed nor removed (the
// dump fails), and a name given with an output file is never opened. The
// output keeps the mode of the file it replaces and nothing is left beside
// it.
TEST(ZlibHtml, ADumpWritesOnlyTheFileItCreated) {
  TempDir dir;
  Sample s;
  WriteFile(dir / "d.qyz", oracle::MakeZlib(s.html));
  const std::string out = dir / "d.html", victim = dir / "victim";
  WriteFile(out, "old");
  WriteFile(victim, "victim");
  ASSERT_EQ(chmod(out.c_str(), 0640), 0);
  ASSERT_EQ(symlink(victim.c_str(), (out + ".part").c_str()), 0);
  FormatIO_ZlibHTML fmt;
  EXPECT_FALSE(fmt.DumpFile((dir / "d.qyz").c_str(), out.c_str(), nullptr));
  EXPECT_EQ(ReadFile(out), "old");
  struct stat link;
  EXPECT_TRUE(lstat((out + ".part").c_str(), &link) == 0 && S_ISLNK(link.st_mode));
  ASSERT_EQ(unlink((out + ".part").c_str()), 0);
  ASSERT_TRUE(fmt.DumpFile((dir / "d.qyz").c_str(), out.c_str(), nullptr));
  EXPECT_EQ(ReadFile(out), s.html);
  EXPECT_EQ(ReadFile(victim), "victim");
  struct stat st;
  ASSERT_EQ(stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_NE(access((out + ".part").c_str(), F_OK), 0);

  // The caller's file: the name given is only named in messages.
  const std::string mine = dir / "mine";
  const int fd = open(mine.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  fmt.SetOutputFile(fd);
  EXPECT_TRUE(fmt.DumpFile((dir / "d.qyz").c_str(), victim.c_str(), nullptr));
  fmt.SetOutputFile(-1);
  close(fd);
  EXPECT_EQ(ReadFile(mine), s.html);
  EXPECT_EQ(ReadFile(victim), "victim");
}

TEST(ZlibHtml, ProgressFollowsTheFileAndCancelStops) {
  TempDir dir;
  Sample s;
  const std::string path = dir / "p.qyz";
  WriteFile(path, oracle::MakeZlib(s.html));
  ProgressInfo::Reset();
  NoteDocument doc;
  ASSERT_EQ(0, LoadZ(path, doc));
  EXPECT_EQ(static_cast<int64_t>(ReadFile(path).size()), ProgressInfo::GetTotalSize());
  EXPECT_EQ(ProgressInfo::GetTotalSize(), ProgressInfo::GetCurrentSize());

  ProgressInfo::SetCanceled(true);
  NoteDocument cancelled;
  EXPECT_EQ(1, LoadZ(path, cancelled));
  ProgressInfo::Reset();
}

}  // namespace
