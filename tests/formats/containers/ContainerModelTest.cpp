// Both containers driven through NoteDocument::Save and Load, as a host uses them:
// full round trips, the decoded payload against the native save, password handling
// and a disk that fills up during a save over an existing document.

#include <gtest/gtest.h>

#include <random>

#include "ContainerOracle.h"
#include "ContainerTestUtil.h"
#include "base/File64.h"
#include "io/IOLayerDeflateParallel.h"

using namespace qycont;

namespace {

class ContainerModel : public ::testing::Test {
 protected:
  void SetUp() override { RegisterFormats(); }
};

TEST_F(ContainerModel, EveryFieldSurvivesBothContainers) {
  TempDir dir;
  NoteDocument doc;
  RichDocument(doc);
  doc.SetPath(dir / "origin.qyd");
  const std::string before = Render(doc);
  ASSERT_NE("render failed", before);

  for (const char* name : {"doc.qyz", "doc.qye"}) {
    SCOPED_TRACE(name);
    const std::string path = dir / name;
    RecursiveTreeWalker walker(doc);
    ASSERT_EQ(0, doc.Save(path.c_str(), walker, false, 0, nullptr, "pass word", 0, 0, true));

    NoteDocument back;
    ASSERT_EQ(0, back.Load(path.c_str(), "pass word"));
    back.SetPath(doc.GetPath());  // renders rebase file links against the document's path
    EXPECT_EQ(before, Render(back));
    ASSERT_EQ(3, back.GetNodeCount());
    NoteNode& child = back.GetNodeByIdx(1);
    ASSERT_EQ(1, child.m_objText.m_lstPictures.GetSize());
    EXPECT_EQ(TinyPng(), child.m_objText.m_lstPictures.GetAt(0).strEncoded);
    ASSERT_EQ(1u, child.m_lstAttachments.size());
    EXPECT_EQ(std::string("attached\0bytes", 14), child.m_lstAttachments[0].strData);
    EXPECT_TRUE(child.m_objTask.IsValid());
    EXPECT_EQ(";red;blue;", back.GetNodeByIdx(0).GetKeywords());
    EXPECT_EQ(1, back.GetBookmarkList().GetCount());
  }
}

TEST_F(ContainerModel, PayloadIsTheNativeSaveOfTheSameFolder) {
  // The document lives in one folder and is saved into another: its relative file
  // link is rebased against the container's own path, exactly as a native save does.
  TempDir dir;
  const std::string out = dir / "out";
  ASSERT_EQ(0, mkdir(out.c_str(), 0700));
  NoteDocument doc;
  RichDocument(doc);
  doc.SetPath(dir / "home/origin.qyd");
  RecursiveTreeWalker walker(doc);
  FormatIO_HTML native;
  ASSERT_EQ(0, native.Save((out + "/n.qyd").c_str(), walker));
  const std::string html = ReadFile(out + "/n.qyd");
  ASSERT_NE(std::string::npos, html.find("file://../home/img/a.png"));

  FormatIO_ZlibHTML zlib;
  RecursiveTreeWalker w2(doc);
  ASSERT_EQ(0, zlib.Save((out + "/z.qyz").c_str(), w2));
  EXPECT_EQ(html, PythonInflateQyz(out + "/z.qyz"));

  FormatIO_EncHTML enc;
  enc.SetPassword("pw");
  RecursiveTreeWalker w3(doc);
  ASSERT_EQ(0, enc.Save((out + "/e.qye").c_str(), w3));
  EXPECT_EQ(html, container_oracle::DecodeEncV3(ReadFile(out + "/e.qye"), "pw"));
}

// A markup that fits one deflate chunk is one plain zlib stream at level 4: the
// bytes after the header are those of zlib's own one-shot deflate at that level.
TEST_F(ContainerModel, StreamIsTheLevel4DeflateOfTheMarkup) {
  TempDir dir;
  NoteDocument doc;
  RichDocument(doc);
  RecursiveTreeWalker walker(doc);
  ASSERT_EQ(0, doc.Save((dir / "n.qyd").c_str(), walker, false, 0, nullptr, "", 0, 0, true));
  const std::string markup = ReadFile(dir / "n.qyd");
  ASSERT_LT(markup.size(), IOLayerDeflateParallel::kChunkSize);
  const std::string expected = container_oracle::Deflate(markup);

  ASSERT_EQ(0, doc.Save((dir / "z.qyz").c_str(), walker, false, 0, nullptr, "", 0, 0, true));
  const std::string qyz = ReadFile(dir / "z.qyz");
  ASSERT_GT(qyz.size(), 29u);
  EXPECT_TRUE(qyz.substr(29) == expected) << "the .qyz stream differs";

  ASSERT_EQ(0, doc.Save((dir / "e.qye").c_str(), walker, false, 0, nullptr, "pw", 0, 0, true));
  const std::string qye = ReadFile(dir / "e.qye");
  ASSERT_GT(qye.size(), 52u);
  const std::string stream = container_oracle::BlowfishEcb("pw", qye.substr(52), false);
  const std::string padding((8 - expected.size() % 8) % 8, '\0');
  EXPECT_TRUE(stream == expected + padding) << "the .qye stream differs";
}

TEST_F(ContainerModel, RelativeFileLinksDoNotDependOnHowPathsAreSpelt) {
  TempDir dir;
  ASSERT_TRUE(mkdir((dir / "d").c_str(), 0700) == 0 && mkdir((dir / "out").c_str(), 0700) == 0);
  char cwd[4096];
  ASSERT_TRUE(getcwd(cwd, sizeof(cwd)) && chdir(dir.Path().c_str()) == 0);
  auto save = [](NoteDocument& doc, const char* out) {
    RecursiveTreeWalker walker(doc);
    return doc.Save(out, walker, false, 0, nullptr, nullptr, 0, 0, true);
  };
  NoteDocument doc, a, b;
  RichDocument(doc);
  doc.SetPath(dir / "d/origin.qyd");
  EXPECT_EQ(0, save(doc, "d/doc.qyd"));
  EXPECT_TRUE(a.Load("d/doc.qyd") == 0 && save(a, "d/copy.qyd") == 0);
  EXPECT_TRUE(chdir("d") == 0 && b.Load("doc.qyd") == 0 && save(b, "../out/x.qyd") == 0);
  ASSERT_EQ(0, chdir(cwd));
  EXPECT_NE(std::string::npos, ReadFile(dir / "d/copy.qyd").find("\"file://img/a.png\""));
  EXPECT_NE(std::string::npos, ReadFile(dir / "out/x.qyd").find("\"file://../d/img/a.png\""));
}

TEST_F(ContainerModel, PasswordsThroughTheModel) {
  TempDir dir;
  const std::string path = dir / "p.qye";
  NoteDocument doc;
  RichDocument(doc);
  RecursiveTreeWalker walker(doc);
  EXPECT_EQ(7, doc.Save(path.c_str(), walker, false, 0, nullptr, "", 0, 0, true));
  EXPECT_FALSE(Exists(path));
  ASSERT_EQ(0, doc.Save(path.c_str(), walker, false, 0, nullptr, "right", 0, 0, true));

  NoteDocument back;
  EXPECT_EQ(3, back.Load(path.c_str(), "wrong"));
  EXPECT_EQ(0, back.GetNodeCount());
  EXPECT_EQ(3, back.Load(path.c_str(), ""));
  EXPECT_EQ(3, back.Load(path.c_str(), nullptr));
  EXPECT_EQ(2, back.Load((dir / "missing.qye").c_str(), "right"));
  EXPECT_EQ(0, back.Load(path.c_str(), "right"));
  EXPECT_TRUE(back.IsEncrypted());

  // The document saves itself again with the password it was opened with.
  RecursiveTreeWalker again(back);
  ASSERT_EQ(0, back.Save(path.c_str(), again, true));
  NoteDocument third;
  EXPECT_EQ(0, third.Load(path.c_str(), "right"));
  EXPECT_EQ(Render(doc), Render(third));
}

TEST_F(ContainerModel, DiskFullKeepsTheOldDocument) {
  TempDir dir;
  for (const char* name : {"full.qyz", "full.qye"}) {
    SCOPED_TRACE(name);
    const std::string path = dir / name;
    NoteDocument small;
    AddNote(small, "", "ONE", "one", "short");
    RecursiveTreeWalker walker(small);
    ASSERT_EQ(0, small.Save(path.c_str(), walker, false, 0, nullptr, "pw", 0, 0, true));
    const std::string old = ReadFile(path);

    const int status = RunWithFileLimit(8192, [&]() {
      NoteDocument big;
      std::mt19937 rng(5);
      for (int i = 0; i < 400; ++i) {
        // Random letters hardly compress: the container outgrows the limit.
        std::string text;
        for (int k = 0; k < 200; ++k) text += static_cast<char>('a' + rng() % 26);
        AddNote(big, "", "N" + std::to_string(i), "t", text);
      }
      RecursiveTreeWalker w(big);
      const int rc = big.Save(path.c_str(), w, false, 0, nullptr, "pw", 0, 0, true);
      return rc;
    });
    EXPECT_EQ(10, status);
    EXPECT_TRUE(old == ReadFile(path));
    EXPECT_FALSE(Exists(path + ".part"));
  }
}

}  // namespace
