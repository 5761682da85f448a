// Fuzzes the loaders of the compressed (".qyz") and encrypted (".qye") containers.
//
// Input layout: byte 0 picks the mode, byte 1 the container version (1..3, ".qye"
// only) and how the stored stream size relates to the real one (equal, 0, larger,
// smaller, by byte 2); the rest is the data.
//   mode 0: the data is a ".qyz" file;       mode 1: the data is a ".qye" file;
//   mode 2: the data is the plain payload of a ".qye" (a zlib stream for versions 2
//           and 3, markup for version 1), wrapped here into a container with the
//           right password digest, so the fuzzer reaches the decoder and the parser;
//   mode 3: the data is markup, compressed and wrapped here into a ".qyz".
// Checked properties: nothing crashes, leaks or hangs; results are the loaders'
// documented codes; a wrapped ".qyz" whose stored size is not too small loads (0)
// or is refused as holding no document (5); a loaded document renders; dumps never
// crash.

#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "base/Sha1.h"
#include "io/BlowFish.h"
#include "formats/containers/FormatIO_EncHTML.h"
#include "formats/containers/FormatIO_ZlibHTML.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"

namespace {

const char kPassword[] = "fuzz";

void Check(bool ok) {
  if (!ok) abort();
}

// A fresh folder per input, removed with its files afterwards.
struct WorkDir {
  std::string path;
  WorkDir() {
    char tmpl[] = "/tmp/quillery_fuzz_XXXXXX";
    const char* p = mkdtemp(tmpl);
    Check(p != nullptr);
    path = p;
  }
  ~WorkDir() { rmdir(path.c_str()); }
};

void WriteFile(const std::string& path, const std::string& data) {
  FILE* f = fopen(path.c_str(), "wb");
  Check(f != nullptr);
  if (!data.empty()) Check(fwrite(data.data(), 1, data.size(), f) == data.size());
  fclose(f);
}

std::string BE64(uint64_t v) {
  std::string s(8, '\0');
  for (int i = 7; i >= 0; --i, v >>= 8) s[i] = static_cast<char>(v & 0xFF);
  return s;
}

// The stored stream size for a stream of n bytes, as byte 1 and 2 ask.
uint64_t StoredSize(uint64_t n, uint8_t flags, uint8_t delta) {
  switch ((flags >> 2) % 4) {
    case 1: return 0;
    case 2: return n + 1 + delta;
    case 3: return n > delta ? n - 1 - delta : 0;
    default: return n;
  }
}

std::string Compress(const std::string& in) {
  uLongf size = compressBound(static_cast<uLong>(in.size()));
  std::string out(size, '\0');
  Check(compress2(reinterpret_cast<Bytef*>(&out[0]), &size, reinterpret_cast<const Bytef*>(in.data()),
                  static_cast<uLong>(in.size()), 4) == Z_OK);
  out.resize(size);
  return out;
}

std::string WrapEnc(int version, const std::string& payload, uint64_t storedSize) {
  CBlowFish bf;
  Check(bf.Initialize(reinterpret_cast<const unsigned char*>(kPassword), 4));
  std::string cipher(CBlowFish::GetOutputLength(static_cast<unsigned>(payload.size())), '\0');
  bf.Encode(reinterpret_cast<const unsigned char*>(payload.data()), reinterpret_cast<unsigned char*>(&cipher[0]),
            static_cast<unsigned>(payload.size()));
  const std::string salt = "salt";
  std::string salted = kPassword;
  if (version == 3) salted += salt;
  CSHA1 sha;
  sha.Update(salted.data(), salted.size());
  sha.Final();
  const std::string digest(reinterpret_cast<const char*>(sha.GetHash()), CSHA1::kDigestSize);
  std::string out = "QUILLERY";
  if (version == 3) out += "enc3" + salt;
  if (version == 2) out += "enc2";
  out += digest + std::string(8, '\0');
  if (version >= 2) out += BE64(storedSize);
  return out + cipher;
}

template <class Format>
int LoadAndDump(const std::string& file, const char* name) {
  WorkDir dir;
  const std::string path = dir.path + "/" + name;
  const std::string dump = dir.path + "/dump.html";
  WriteFile(path, file);
  int rc;
  {
    NoteDocument doc;
    Format fmt;
    fmt.SetPassword(kPassword);
    fmt.m_bReportProgress = false;
    rc = fmt.Load(path.c_str(), doc, -1);
    Check(rc == 0 || rc == 3 || rc == 5 || rc == 7);
    if (rc == 0) {
      RecursiveTreeWalker walker(doc);
      FormatIO_HTML writer;
      std::string out;
      // 1: the default host refuses to save a clone whose original is missing.
      const int saved = writer.SaveToString(out, doc, walker);
      Check(saved == 0 || saved == 1);
    }
    fmt.DumpFile(path.c_str(), dump.c_str(), kPassword);
  }
  unlink(path.c_str());
  unlink(dump.c_str());
  return rc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const int mode = data[0] % 4;
  const uint8_t flags = data[1];
  const uint8_t delta = data[2];
  const std::string body(reinterpret_cast<const char*>(data + 3), size - 3);
  const int version = 1 + flags % 3;
  switch (mode) {
    case 0:
      LoadAndDump<FormatIO_ZlibHTML>(body, "in.qyz");
      break;
    case 1:
      LoadAndDump<FormatIO_EncHTML>(body, "in.qye");
      break;
    case 2: {
      const uint64_t stored = StoredSize(body.size(), flags, delta);
      LoadAndDump<FormatIO_EncHTML>(WrapEnc(version, body, stored), "wrapped.qye");
      break;
    }
    default: {
      const std::string stream = Compress(body);
      const uint64_t stored = StoredSize(stream.size(), flags, delta);
      const std::string file = "QUILLERYzlib1" + std::string(8, '\0') + BE64(stored) + stream;
      const int rc = LoadAndDump<FormatIO_ZlibHTML>(file, "wrapped.qyz");
      if ((flags >> 2) % 4 != 3) Check(rc == 0 || rc == 5);
      break;
    }
  }
  return 0;
}
