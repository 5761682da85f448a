// The encrypted container at object level: the version 3 layout, files of versions 1
// and 2 (and 3) made by an independent encoder, damaged and odd headers,
// version and reserved bytes kept by an object that saves what it loaded, append,
// failed saves and dumps.

#include <gtest/gtest.h>

#include <random>

#include "ContainerOracle.h"
#include "ContainerTestUtil.h"
#include "base/File64.h"

using namespace qycont;
namespace oracle = container_oracle;

namespace {

const char kPw[] = "correct horse";

struct Sample {
  NoteDocument doc;
  std::string html;
  Sample() {
    RichDocument(doc);
    html = Render(doc);
  }
};

int LoadE(const std::string& path, NoteDocument& into, const char* pw = kPw, FormatIO_EncHTML* fmt = nullptr) {
  FormatIO_EncHTML local;
  FormatIO_EncHTML& f = fmt ? *fmt : local;
  f.SetPassword(pw);
  return f.Load(path.c_str(), into, -1);
}

int SaveE(FormatIO_EncHTML& fmt, const std::string& path, NoteDocument& doc, bool append = false) {
  RecursiveTreeWalker walker(doc);
  return fmt.Save(path.c_str(), walker, append);
}

std::string SaveV3(const TempDir& dir, const std::string& name, NoteDocument& doc) {
  FormatIO_EncHTML fmt;
  fmt.SetPassword(kPw);
  EXPECT_EQ(0, SaveE(fmt, dir / name, doc));
  return ReadFile(dir / name);
}

TEST(EncHtml, LayoutOfVersion3) {
  TempDir dir;
  Sample s;
  const std::string a = SaveV3(dir, "a.qye", s.doc);
  const std::string b = SaveV3(dir, "b.qye", s.doc);
  ASSERT_GT(a.size(), 60u);
  EXPECT_EQ("QUILLERYenc3", a.substr(0, 12));
  EXPECT_EQ(oracle::Sha1(kPw + a.substr(12, 4)), a.substr(16, 20));
  EXPECT_EQ(std::string(8, '\0'), a.substr(36, 8));
  const uint64_t n = oracle::ReadBE64(a, 44);
  EXPECT_EQ(52 + (n + 7) / 8 * 8, a.size());
  EXPECT_EQ(s.html, oracle::DecodeEncV3(a, kPw));

  // The salt varies the digest only: the key is the password alone, so the cipher
  // text of two saves is the same.
  EXPECT_NE(a.substr(12, 4), b.substr(12, 4));
  EXPECT_NE(a.substr(16, 20), b.substr(16, 20));
  EXPECT_EQ(a.substr(52), b.substr(52));
  EXPECT_EQ(a.substr(36, 16), b.substr(36, 16));
}

TEST(EncHtml, EveryVersionFromAnIndependentEncoderLoads) {
  TempDir dir;
  Sample s;
  for (int version = 1; version <= 3; ++version) {
    // Titles of 8 lengths give every amount of cipher padding, which version 1 must
    // not read as text.
    for (int extra = 0; extra < 8; ++extra) {
      SCOPED_TRACE(std::to_string(version) + "/" + std::to_string(extra));
      s.doc.SetTitle("Rich" + std::string(extra, '!'));
      const std::string html = Render(s.doc);
      const std::string path = dir / "v.qye";
      WriteFile(path, oracle::MakeEnc(version, kPw, html));
      FormatIO_EncHTML fmt;
      NoteDocument doc;
      ASSERT_EQ(0, LoadE(path, doc, kPw, &fmt));
      EXPECT_EQ(version, fmt.m_nVersion);
      EXPECT_EQ(html, Render(doc));
      const std::string last = doc.GetNodeByIdx(doc.GetNodeCount() - 1).GetText();
      EXPECT_EQ(std::string::npos, last.find('\0'));
    }
  }
}

TEST(EncHtml, HeadersThatLoadAndHeadersThatDoNot) {
  TempDir dir;
  Sample s;
  const std::string good = oracle::MakeEnc(3, kPw, s.html);
  const std::string path = dir / "h.qye";
  auto loads = [&](const std::string& bytes) {
    return LoadBytes(path, bytes, s.html, [](const std::string& p, NoteDocument& d) { return LoadE(p, d); });
  };
  EXPECT_EQ(0, loads(good));
  std::string larger = good;
  larger.replace(44, 8, oracle::BE64(good.size()));  // only an upper bound
  EXPECT_EQ(0, loads(larger));
  std::string unpatched = good;
  unpatched.replace(44, 8, std::string(8, '\0'));  // 0 reads to the end
  EXPECT_EQ(0, loads(unpatched));
  EXPECT_EQ(0, loads(good + "12345"));  // bytes after the container are not part of it

  for (size_t n = 0; n < 52; ++n) EXPECT_EQ(5, loads(good.substr(0, n))) << n;
  std::string damagedTag = good;
  damagedTag[8] = 'x';  // no tag: read as version 1, whose digest does not match
  EXPECT_EQ(3, loads(damagedTag));
  std::string smaller = good;
  smaller.replace(44, 8, oracle::BE64(oracle::ReadBE64(good, 44) - 9));
  EXPECT_EQ(5, loads(smaller));
  EXPECT_EQ(5, loads(good.substr(0, good.size() - 8)));
  EXPECT_EQ(5, loads(good.substr(0, good.size() - 3)));
  std::string flipped = good;
  flipped[good.size() / 2] ^= 0x01;
  EXPECT_EQ(5, loads(flipped));
  std::string wrongMagic = good;
  wrongMagic[7] = 'x';
  EXPECT_EQ(5, loads(wrongMagic));
  EXPECT_EQ(5, loads(oracle::MakeEnc(2, kPw, s.html).substr(0, 47)));
}

// "enc" and a version this program does not read is no version 1 digest: whatever
// the password, the file is refused as no document (never as a wrong password), and
// nothing of it is deciphered, by a load or a dump. Only a version 1 file whose
// password's digest begins with those bytes opens, with that password.
TEST(EncHtml, AnUnknownVersionTagIsNoDocument) {
  TempDir dir;
  Sample s;
  const std::string path = dir / "t.qye";
  for (const char* tag : {"enc9", "enc1", "enc4", "enc\xFF"}) {
    SCOPED_TRACE(tag);
    for (int version = 2; version <= 3; ++version) {
      std::string file = oracle::MakeEnc(version, kPw, s.html);
      file.replace(8, 4, tag);
      WriteFile(path, file);
      for (const char* pw : {kPw, "another"}) {
        NoteDocument doc;
        EXPECT_EQ(5, LoadE(path, doc, pw));
        EXPECT_EQ(0, doc.GetNodeCount());
        FormatIO_EncHTML fmt;
        WriteFile(dir / "t.html", "old");
        EXPECT_FALSE(fmt.DumpFile(path.c_str(), (dir / "t.html").c_str(), pw));
        EXPECT_EQ("old", ReadFile(dir / "t.html"));
      }
    }
  }
  const char kEncDigest[] = "pw40462066";  // its SHA-1 begins with "enc\xC6"
  ASSERT_EQ("enc", oracle::Sha1(kEncDigest).substr(0, 3));
  WriteFile(path, oracle::MakeEnc(1, kEncDigest, s.html));
  NoteDocument doc, refused;
  EXPECT_EQ(0, LoadE(path, doc, kEncDigest));
  EXPECT_EQ(s.html, Render(doc));
  EXPECT_EQ(5, LoadE(path, refused, kPw));
}

TEST(EncHtml, AnObjectKeepsTheVersionAndReservedBytesItLoaded) {
  TempDir dir;
  Sample s;
  const std::string reserved("r\1s\2v\3d\4", 8);
  for (int version = 1; version <= 2; ++version) {
    SCOPED_TRACE(version);
    const std::string path = dir / "k.qye";
    WriteFile(path, oracle::MakeEnc(version, kPw, s.html, reserved));
    FormatIO_EncHTML fmt;
    NoteDocument doc;
    ASSERT_EQ(0, LoadE(path, doc, kPw, &fmt));
    const std::string out = dir / "again.qye";
    ASSERT_EQ(0, SaveE(fmt, out, doc));
    const std::string file = ReadFile(out);
    if (version == 1) {
      EXPECT_EQ(oracle::Sha1(kPw), file.substr(8, 20));
      EXPECT_EQ(reserved, file.substr(28, 8));
      EXPECT_EQ(36 + (s.html.size() + 7) / 8 * 8, file.size());
      EXPECT_EQ(s.html, oracle::BlowfishEcb(kPw, file.substr(36), false).substr(0, s.html.size()));
    } else {
      EXPECT_EQ("enc2", file.substr(8, 4));
      EXPECT_EQ(reserved, file.substr(32, 8));
      const uint64_t n = oracle::ReadBE64(file, 40);
      EXPECT_EQ(48 + (n + 7) / 8 * 8, file.size());
    }
    NoteDocument back;
    ASSERT_EQ(0, LoadE(out, back));
    EXPECT_EQ(s.html, Render(back));
  }
}

TEST(EncHtml, AppendAndFailedSaves) {
  TempDir dir;
  Sample s;
  const std::string path = dir / "app.qye";
  const std::string prefix = "earlier";
  WriteFile(path, prefix);
  FormatIO_EncHTML fmt;
  fmt.SetPassword(kPw);
  ASSERT_EQ(0, SaveE(fmt, path, s.doc, true));
  const std::string file = ReadFile(path);
  EXPECT_EQ(prefix, file.substr(0, prefix.size()));
  const std::string container = file.substr(prefix.size());
  EXPECT_EQ(s.html, oracle::DecodeEncV3(container, kPw));  // stream size at start + 44

  auto bigDocSave = [&](const std::string& target, bool append) {
    return RunWithFileLimit(file.size() + 2048, [&]() {
      NoteDocument big;
      std::mt19937 rng(4);
      for (int i = 0; i < 300; ++i) {
        std::string text;
        for (int k = 0; k < 300; ++k) text += static_cast<char>('a' + rng() % 26);
        AddNote(big, "", "N" + std::to_string(i), "t", text);
      }
      FormatIO_EncHTML f;
      f.SetPassword(kPw);
      return SaveE(f, target, big, append);
    });
  };
  EXPECT_EQ(10, bigDocSave(path, true));
  EXPECT_TRUE(file == ReadFile(path));
  EXPECT_EQ(10, bigDocSave(dir / "new.qye", false));
  EXPECT_FALSE(Exists(dir / "new.qye"));
  EXPECT_EQ(4, SaveE(fmt, dir.Path(), s.doc));
  FormatIO_EncHTML noPassword;
  EXPECT_EQ(7, SaveE(noPassword, dir / "none.qye", s.doc));
  EXPECT_FALSE(Exists(dir / "none.qye"));
}

TEST(EncHtml, DumpWritesTheMarkup) {
  TempDir dir;
  Sample s;
  FormatIO_EncHTML fmt;
  for (int version = 1; version <= 3; ++version) {
    SCOPED_TRACE(version);
    WriteFile(dir / "d.qye", oracle::MakeEnc(version, kPw, s.html + "x"));
    EXPECT_TRUE(fmt.DumpFile((dir / "d.qye").c_str(), (dir / "d.html").c_str(), kPw));
    EXPECT_EQ(s.html + "x", ReadFile(dir / "d.html"));
  }
  EXPECT_FALSE(fmt.DumpFile((dir / "d.qye").c_str(), (dir / "w.html").c_str(), "wrong"));
  EXPECT_FALSE(fmt.DumpFile((dir / "d.qye").c_str(), (dir / "e.html").c_str(), ""));
  EXPECT_FALSE(Exists(dir / "e.html"));
}

// A version 1 payload has no length and deciphers cleanly wherever a block ends: a
// dump of one is whole only when a load takes its text (the body ends), else false
// and the output stays as it was.
TEST(EncHtml, ADumpOfACutVersion1FileFails) {
  TempDir dir;
  Sample s;
  const std::string file = oracle::MakeEnc(1, kPw, s.html);
  const std::string path = dir / "v1.qye", out = dir / "v1.html";
  const size_t body = 36 + s.html.rfind("</BODY>") / 8 * 8;  // the block where the body ends
  for (size_t n : {size_t{36}, size_t{44}, 36 + (file.size() - 36) / 16 * 8, body}) {
    SCOPED_TRACE(n);
    WriteFile(path, file.substr(0, n));
    WriteFile(out, "old");
    FormatIO_EncHTML fmt;
    EXPECT_FALSE(fmt.DumpFile(path.c_str(), out.c_str(), kPw));
    EXPECT_EQ("old", ReadFile(out));
  }
  WriteFile(path, file);
  FormatIO_EncHTML fmt;
  EXPECT_TRUE(fmt.DumpFile(path.c_str(), out.c_str(), kPw));
  EXPECT_EQ(s.html, ReadFile(out));
}

}  // namespace
