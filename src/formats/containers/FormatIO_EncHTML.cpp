#include "formats/containers/FormatIO_EncHTML.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

#include "base/File64.h"
#include "base/Log.h"
#include "base/Sha1.h"
#include "io/BlowFish.h"
#include "formats/containers/ContainerIO.h"
#include "io/IOLayerDeflateParallel.h"
#include "io/IOLayerEnc.h"
#include "io/IOLayerFile64.h"
#include "io/IOLayerRedirect.h"
#include "io/IOLayerThread.h"
#include "io/IOReadAhead.h"
#include "io/IOLayerZlib.h"
#include "io/IOProcess.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"

using quillery::ClampToInt;
using quillery::ReadExact;
using quillery::WriteExact;

namespace {

const char kMagic[] = "QUILLERY";

struct EncHeader {
  int version = 1;
  // The bytes after the magic read "enc" and a version other than 2 and 3: a tag
  // of a version this program does not read, unless they begin a version 1 digest.
  bool unknownTag = false;
  unsigned char tag[4] = {};
  unsigned char salt[FormatIO_EncHTML::kSaltSize] = {};
  unsigned char digest[20] = {};
  unsigned char reserved[8] = {};
  std::uint64_t streamSize = 0;  // versions 2 and 3; 0 = read to the end
  int64_t payloadStart = 0;
};

// Reads the header from the file's current position (offset 0). False when a field is
// short; magicOk tells whether the magic matched (the dump reads on regardless).
bool ReadEncHeader(File64& file, EncHeader& h, bool& magicOk) {
  char magic[8];
  magicOk = false;
  if (!ReadExact(file, magic, 8)) return false;
  magicOk = std::memcmp(magic, kMagic, 8) == 0;
  unsigned char* tag = h.tag;
  if (!ReadExact(file, tag, 4)) return false;
  if (std::memcmp(tag, "enc3", 4) == 0 || std::memcmp(tag, "enc2", 4) == 0) {
    h.version = tag[3] - '0';
    if (h.version == 3 && !ReadExact(file, h.salt, sizeof(h.salt))) return false;
    if (!ReadExact(file, h.digest, 20)) return false;
  } else {
    // Version 1 has no tag: these were the first bytes of the digest.
    h.version = 1;
    h.unknownTag = std::memcmp(tag, "enc", 3) == 0;
    std::memcpy(h.digest, tag, 4);
    if (!ReadExact(file, h.digest + 4, 16)) return false;
  }
  if (!ReadExact(file, h.reserved, 8)) return false;
  if (h.version >= 2) {
    unsigned char size[8];
    if (!ReadExact(file, size, 8)) return false;
    h.streamSize = quillery::LoadBE64(size);
  }
  h.payloadStart = h.version == 3 ? 52 : (h.version == 2 ? 48 : 36);
  return true;
}

void PasswordDigest(const std::string& password, int version, const unsigned char* salt,
                    unsigned char out[20]) {
  std::string salted = password;
  if (version == 3) FormatIO_EncHTML::SaltPassword(salted, salt);
  CSHA1 sha;
  sha.Update(salted.data(), salted.size());
  sha.Final();
  sha.GetHash(out);
  quillery::SecureWipe(salted);
}

bool DigestMatches(const std::string& password, const EncHeader& h) {
  unsigned char expected[20];
  PasswordDigest(password, h.version, h.salt, expected);
  return CRYPTO_memcmp(expected, h.digest, sizeof(expected)) == 0;
}

// True (logged, with the failure reason set) when the header carries the tag of a
// version this program does not read: such a file is no document it could tell a
// password of, and nothing of it is deciphered. A version 1 file whose digest happens
// to begin with "enc" (one in 2^24) still opens with its password: only that
// password's digest begins with those four bytes.
bool UnknownVersion(const std::string& password, const EncHeader& h, const char* path) {
  if (!h.unknownTag || DigestMatches(password, h)) return false;
  quillery::ReportUnknownVersion("encrypted", h.tag, sizeof(h.tag), path);
  return true;
}

// The stream size caps zlib's input and, rounded up to whole blocks, the cipher text
// read from the file, so bytes after the container (an appended one) are never taken
// for part of it. 0 means the size was never patched in: read to the end.
void LimitPayload(const EncHeader& h, int64_t fileSize, IOLayerFile64& file, IOLayerZlib* zlib) {
  if (!zlib || h.streamSize == 0 || h.streamSize >= static_cast<std::uint64_t>(INT64_MAX)) return;
  const int64_t n = static_cast<int64_t>(h.streamSize);
  zlib->SetLimit(n);
  // A size larger than the file is only an upper bound: the file's end ends the read.
  if (n <= fileSize) file.SetReadLimit(h.payloadStart + (n + 7) / 8 * 8);
}

// Holds back a trailing run of zero bytes, so that the cipher padding of a version 1
// payload (up to 7 zero bytes after the markup) never reaches the sink.
struct PaddingStripper {
  IOLayerRedirect::Callback sink;
  void* user;
  int64_t pendingZeros = 0;

  PaddingStripper(IOLayerRedirect::Callback s, void* u) : sink(s), user(u) {}

  static void Feed(const char* data, int len, void* self) {
    static_cast<PaddingStripper*>(self)->Take(data, len);
  }

  void Take(const char* data, int len) {
    int last = len - 1;
    while (last >= 0 && data[last] == '\0') --last;
    if (last < 0) {
      pendingZeros += len;
      return;
    }
    EmitZeros(pendingZeros);
    sink(data, last + 1, user);
    pendingZeros = len - 1 - last;
  }

  // Zero runs longer than the padding belong to the text itself and pass on.
  void Finish() {
    EmitZeros(pendingZeros - (CBlowFish::kBlockSize - 1));
    pendingZeros = 0;
  }

  void EmitZeros(int64_t n) {
    static const char kZeros[256] = {};
    while (n > 0) {
      const int piece = static_cast<int>(std::min<int64_t>(n, sizeof(kZeros)));
      sink(kZeros, piece, user);
      n -= piece;
    }
    pendingZeros = 0;
  }
};

// Writes what it is fed to a dump's output and parses it with reader (a load into a
// document of its own), which then tells whether it was a whole document.
struct DumpAndRead {
  File64* out;
  HTMLParser* reader;

  static void Feed(const char* data, int len, void* self) {
    auto* both = static_cast<DumpAndRead*>(self);
    DumpRedirector(data, len, both->out);
    ParseRedirector(data, len, both->reader);
  }
};

// The cipher and decoder stages of a read chain after its file stage, then last (the
// sink). Returns the zlib stage (null for version 1) through zlib; false when zlib
// failed to start (last is then deleted).
bool PushReadStages(IOProcess& io, const EncHeader& h, const std::string& password, IOLayerBase* last,
                    IOLayerZlib*& zlib) {
  IOLayerEnc* enc = new IOLayerEnc;
  io.PushLayer(enc);
  enc->SetPassword(password.c_str());
  zlib = nullptr;
  if (h.version >= 2) {
    zlib = new IOLayerZlib(true);
    io.PushLayer(zlib);
    if (zlib->GetError() != 0) {
      delete last;
      return false;
    }
  }
  io.PushLayer(last);
  return true;
}

}  // namespace

FormatIO_EncHTML::FormatIO_EncHTML() : m_nVersion(3) { std::memset(m_reserved, 0, sizeof(m_reserved)); }

FormatIO_EncHTML::~FormatIO_EncHTML() { quillery::SecureWipe(m_strPassword); }

void FormatIO_EncHTML::SetPassword(const char* password) {
  quillery::SecureWipe(m_strPassword);
  if (password) m_strPassword = password;
}

void FormatIO_EncHTML::SaltPassword(std::string& password, const unsigned char salt[kSaltSize]) {
  password.append(reinterpret_cast<const char*>(salt), kSaltSize);
}

int FormatIO_EncHTML::Load(const char* path, NoteDocument& doc, int parentIdx) {
  ReleaseFile();
  if (m_strPassword.empty()) return DOC_LOAD_WRONG_PASSWORD;
  if (!path) return DOC_LOAD_NOT_FOUND;
  IOProcess io(IOLayerBase::MODE_READ);
  IOLayerFile64* fileLayer = new IOLayerFile64;
  io.PushLayer(fileLayer);
  File64& file = fileLayer->GetFile();
  bool locked = false;
  int result = OpenDocumentFile(path, file, locked);
  if (result != DOC_LOAD_OK) return result;

  EncHeader h;
  bool magicOk = false;
  if (!ReadEncHeader(file, h, magicOk) || !magicOk) return DOC_LOAD_FORMAT_ERROR;
  if (UnknownVersion(m_strPassword, h, path)) return DOC_LOAD_FORMAT_ERROR;
  if (!DigestMatches(m_strPassword, h)) {
    xLog(LOG_INFO, "Wrong password for encrypted document: %s\n", path);
    return DOC_LOAD_WRONG_PASSWORD;
  }
  m_nVersion = h.version;
  std::memcpy(m_reserved, h.reserved, sizeof(m_reserved));

  // A worker reads, deciphers and inflates while this thread parses (and so allocates
  // the notes, as a plain load does).
  IOReadAhead ahead;
  IOLayerZlib* zlib = nullptr;
  if (!PushReadStages(io, h, m_strPassword, ahead.NewCollector(), zlib)) {
    xLog(LOG_INFO, "Error loading document: internal error detected in Zlib\n");
    return DOC_LOAD_DECODER_FAIL;
  }
  const int64_t fileSize = File64::FileSize(path);
  LimitPayload(h, fileSize, *fileLayer, zlib);

  BeginLoad(doc, parentIdx, path, h.version == 1 ? fileSize : -1);
  PaddingStripper stripper(ParseRedirector, static_cast<HTMLParser*>(this));
  IOLayerRedirect::Callback sink = ParseRedirector;
  void* user = static_cast<HTMLParser*>(this);
  if (h.version == 1) {
    sink = PaddingStripper::Feed;
    user = &stripper;
  }
  result = quillery::LoadPayload(io, ahead, file, *fileLayer, zlib, m_bReportProgress, fileSize, sink, user);
  if (h.version == 1) stripper.Finish();
  if (result == DOC_LOAD_FORMAT_ERROR) xLog(LOG_ERROR, "Damaged encrypted document: %s\n", path);
  result = FinishLoad(result);
  if (result == DOC_LOAD_OK) KeepDocumentFile(file, locked);
  return result;
}

int FormatIO_EncHTML::Save(const char* path, RecursiveTreeWalker& walker) { return Save(path, walker, false); }

int FormatIO_EncHTML::Save(const char* path, RecursiveTreeWalker& walker, bool append) {
  if (m_strPassword.empty()) return DOC_SAVE_ERROR;
  NoteDocument& doc = walker.GetDocument();
  if (!path || !*path) return DOC_SAVE_NOT_OPEN;
  const int version = (m_nVersion >= 1 && m_nVersion <= 3) ? m_nVersion : 3;

  // The writer, the compressor and the cipher with the file each work on a thread
  // of their own (the stages after each hand-off run on its worker), and the stream
  // is deflated in chunks by a pool of workers.
  IOProcess io(IOLayerBase::MODE_WRITE);
  IOLayerThread* handOff = new IOLayerThread;
  io.PushLayer(handOff);
  IOLayerDeflateParallel* zlib = nullptr;
  if (version >= 2) {
    zlib = new IOLayerDeflateParallel;
    io.PushLayer(zlib);
    io.PushLayer(new IOLayerThread);
  }
  IOLayerEnc* enc = new IOLayerEnc;
  io.PushLayer(enc);
  if (!enc->SetPassword(m_strPassword.c_str())) return DOC_SAVE_ERROR;
  IOLayerFile64* fileLayer = new IOLayerFile64;
  io.PushLayer(fileLayer);
  File64& out = fileLayer->GetFile();
  const int flags = append ? (F64_WRITE | F64_SHARE_READ | F64_OPEN_EXISTING)
                           : (F64_WRITE | F64_SHARE_READ | F64_OPEN_ALWAYS | F64_OPEN_EXISTING);
  if (!OpenOutput(out, path, flags)) return DOC_SAVE_NOT_OPEN;
  int64_t start = 0;
  if (append && (start = out.SeekEnd()) < 0) return DOC_SAVE_ERROR;
  const std::string target = path;
  auto fail = [&](int code) {
    io.CleanLayerList();
    if (OwnsOutput()) quillery::DiscardFailedOutput(target, append, start);
    return code;
  };

  unsigned char salt[kSaltSize] = {};
  if (version == 3 && !quillery::SecureRandomBytes(salt, sizeof(salt))) {
    xLog(LOG_ERROR, "No random salt available for the encrypted document\n");
    return fail(DOC_SAVE_ERROR);
  }
  unsigned char digest[20];
  PasswordDigest(m_strPassword, version, salt, digest);
  const char* tag = version == 3 ? "enc3" : "enc2";
  const unsigned char zero[8] = {};
  struct Field {
    const void* data;
    int size;
    bool present;
    const char* message;
  } const fields[] = {
      {kMagic, 8, true, "Failed to write header (app)\n"},
      {tag, 4, version >= 2, "Failed to write header (type)\n"},
      {salt, kSaltSize, version == 3, "Failed to write header (salt)\n"},
      {digest, 20, true, "Failed to write hash\n"},
      {m_reserved, 8, true, "Failed to write header (size)\n"},
      {zero, 8, version >= 2, "Failed to write header (stream size)\n"},
  };
  for (const Field& f : fields) {
    if (f.present && !WriteExact(out, f.data, f.size)) {
      xLog(LOG_INFO, "%s", f.message);
      return fail(DOC_SAVE_WRITE_ERROR);
    }
  }

  m_strPath = target;
  BeginNativeSave(doc);
  WriteDocContents(io, walker);
  if (m_nSaveError != 0) handOff->Cancel();  // nothing more of a failed save is written
  if (io.Finalize() < 0 || io.HasError()) SetChainFailure(io);
  if (m_nSaveError != 0) return fail(m_nSaveError);
  if (zlib) {
    const int patched = quillery::PatchStreamSize(out, start + (version == 3 ? 44 : 40), zlib->GetTotalOut());
    if (patched != 0) {
      xLog(LOG_INFO, "Failed to update header\n");
      return fail(patched);
    }
  }
  if (!out.Close()) return fail(DOC_SAVE_WRITE_ERROR);
  if (m_bFileLocked) m_file.Lock(false);
  return DOC_SAVE_OK;
}

bool FormatIO_EncHTML::DumpFile(const char* src, const char* dst, const char* password) {
  if (!password || !*password) return false;
  if (OwnsOutput()) return DumpThroughTempFile(src, dst, password);
  IOProcess io(IOLayerBase::MODE_READ);
  IOLayerFile64* fileLayer = new IOLayerFile64;
  io.PushLayer(fileLayer);
  File64& in = fileLayer->GetFile();
  File64 out;
  if (!quillery::OpenDumpFiles(*this, src, in, dst, out)) return false;
  EncHeader h;
  bool magicOk = false;
  const bool complete = ReadEncHeader(in, h, magicOk);
  if (!magicOk) xLog(LOG_WARNING, "Format header signature doesn't match\n");
  if (!complete) return false;
  const quillery::ScopedSecret pw(password);
  if (UnknownVersion(pw.Get(), h, src)) return false;
  const bool digestOk = DigestMatches(pw.Get(), h);
  if (!digestOk) xLog(LOG_WARNING, "Password hashes do not match\n");
  // A version 1 payload carries no length, and one cut at a block's end deciphers
  // cleanly: only its text tells that it is whole. So its markup is also read as a
  // load reads it, into a document of its own, and the dump is whole only when that
  // load takes it (the cut-off check and all).
  const bool readBack = h.version == 1 && digestOk;
  NoteDocument readBackDoc;
  FormatIO_EncHTML reader;
  DumpAndRead both{&out, &reader};
  PaddingStripper stripper(readBack ? DumpAndRead::Feed : DumpRedirector,
                           readBack ? static_cast<void*>(&both) : static_cast<void*>(&out));
  IOLayerRedirect* redirect = new IOLayerRedirect;
  if (h.version == 1)
    redirect->SetCallback(PaddingStripper::Feed, &stripper);
  else
    redirect->SetCallback(DumpRedirector, &out);
  IOLayerZlib* zlib = nullptr;
  if (!PushReadStages(io, h, pw.Get(), redirect, zlib)) {
    xLog(LOG_WARNING, "Error loading document: internal error detected in Zlib\n");
    return false;
  }
  const int64_t fileSize = File64::FileSize(src);
  LimitPayload(h, fileSize, *fileLayer, zlib);
  xLog(LOG_INFO, "Document file size: %d\n", ClampToInt(fileSize));

  if (readBack) reader.BeginLoad(readBackDoc, -1, src, fileSize);
  quillery::PumpPayload(io, in, false, fileSize);
  io.Finalize();
  if (h.version == 1) stripper.Finish();
  if (zlib)
    xLog(LOG_INFO, "Zlib processed bytes: %d, written out: %d\n", ClampToInt(zlib->GetTotalIn()),
         ClampToInt(zlib->GetTotalOut()));
  bool decoded = quillery::PayloadResult(io, *fileLayer, zlib) == 0;
  if (readBack && reader.FinishLoad(decoded ? DOC_LOAD_OK : DOC_LOAD_FORMAT_ERROR) != DOC_LOAD_OK) decoded = false;
  const bool written = out.Close();
  return digestOk && decoded && written;
}
