#include "sqlite/codec/CodecVfs.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <vector>

#include "base/Log.h"
#include "sqlite/codec/PageCodec.h"

namespace quillery {
namespace {

constexpr char kVfsName[] = "quillery-codec";
// SQLite never writes the page that holds its lock bytes; in a journal that
// page number marks the super-journal record, which is no page.
constexpr sqlite3_int64 kPendingByte = 0x40000000;

enum class Kind { Plain, MainDb, Journal, Wal, Temp };

// The layer's file object; SQLite allocates it (szOsFile bytes) and the
// platform's own file object follows it in the same block.
// Invariants: real is open while the object is; a MainDb is in the registry
// from open to close and owns its codec; a Journal or Wal points at the
// MainDb file of the same connection, which SQLite closes after it.
struct CodecFile {
  sqlite3_file base;
  Kind kind = Kind::Plain;
  sqlite3_file* real = nullptr;
  const char* dbName = nullptr;
  CodecFile* main = nullptr;
  Codec* codec = nullptr;
  int filePageSize = 0;  // MainDb: learnt from page 1, 0 while unknown
  std::vector<unsigned char> scratch;
  // Journal: the page record read or written last, for its checksum.
  bool recValid = false;
  sqlite3_int64 recOff = 0;
  int recSize = 0;
  uint32_t recSumPlain = 0;
  uint32_t recSumCipher = 0;
  // Temp: a random key that dies with the file.
  unsigned char tempKey[16] = {};
};

constexpr int kRealOffset = (sizeof(CodecFile) + 15) & ~15;

// The open main database files by name, for their journals to find. Made
// on first use and never destroyed: a database may be closed at exit after
// every static made later is gone (a document in static storage, made
// before its first load). It is empty by then, or still reachable.
struct FileRegistry {
  std::mutex mutex;
  std::map<const char*, CodecFile*> files;
};
FileRegistry& Registry() {
  static FileRegistry* const registry = new FileRegistry;
  return *registry;
}
std::atomic<CodecVfsWriteHook> g_writeHook{nullptr};

sqlite3_vfs* RealVfs(sqlite3_vfs* vfs) { return static_cast<sqlite3_vfs*>(vfs->pAppData); }
CodecFile* Cf(sqlite3_file* file) { return reinterpret_cast<CodecFile*>(file); }

bool IsPageSize(sqlite3_int64 n) { return n >= 512 && n <= kCodecMaxPageSize && (n & (n - 1)) == 0; }

uint32_t GetBE32(const unsigned char* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
void PutBE32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

// The page size a plain page 1 names in its header; 0 when it is no header.
int HeaderPageSize(const unsigned char* page, int length) {
  if (length < 32 || memcmp(page, "SQLite format 3", 16) != 0) return 0;
  int size = (page[16] << 8) | (page[17] << 16);
  return IsPageSize(size) ? size : 0;
}

// The sum SQLite's pager keeps for a journal record: every 200th byte counted
// back from 200 bytes before the end of the page.
uint32_t PagerSum(const unsigned char* data, int size) {
  uint32_t sum = 0;
  for (int i = size - 200; i > 0; i -= 200) sum += data[i];
  return sum;
}

bool Reading(const Codec* c) { return c && c->encrypted && c->hasReadKey; }
bool Writing(const Codec* c) { return c && c->encrypted && c->hasWriteKey; }

unsigned char* Scratch(CodecFile* f, size_t n) {
  if (f->scratch.size() < n) f->scratch.resize(n);
  return f->scratch.data();
}

// ---- keyed main database file ------------------------------------------

int FilePageSize(CodecFile* f) {
  if (f->filePageSize) return f->filePageSize;
  unsigned char hdr[32];
  if (f->real->pMethods->xRead(f->real, hdr, sizeof(hdr), 0) != SQLITE_OK) return 0;
  if (Reading(f->codec) && !CodecDecrypt(f->codec, 1, hdr, sizeof(hdr))) return 0;
  f->filePageSize = HeaderPageSize(hdr, sizeof(hdr));
  return f->filePageSize;
}

int MainReadDeciphered(CodecFile* f, unsigned char* out, int amt, sqlite3_int64 off) {
  if (off == 0) f->filePageSize = 0;  // page 1 is read again: learn its size anew
  int P = FilePageSize(f);
  if (!P) {
    // No readable header (a wrong key, a new file): whole-page reads stand
    // for themselves; a read of the first bytes is a prefix of page 1, which
    // deciphers alone whatever the page size.
    if (IsPageSize(amt) && off % amt == 0) {
      P = amt;
    } else if (off + amt <= 512) {
      P = 512;
    } else {
      return f->real->pMethods->xRead(f->real, out, amt, off);
    }
  }
  int result = SQLITE_OK;
  const sqlite3_int64 end = off + amt;
  unsigned char* buf = Scratch(f, static_cast<size_t>(P));
  for (sqlite3_int64 pos = off; pos < end;) {
    const sqlite3_int64 pageStart = pos / P * P;
    const sqlite3_int64 stop = end < pageStart + P ? end : pageStart + P;
    const int need = static_cast<int>(((stop - pageStart) + 15) & ~sqlite3_int64(15));
    int rc = f->real->pMethods->xRead(f->real, buf, need, pageStart);
    int avail = need;
    if (rc == SQLITE_IOERR_SHORT_READ) {
      sqlite3_int64 size = 0;
      f->real->pMethods->xFileSize(f->real, &size);
      sqlite3_int64 a = size - pageStart;
      avail = a < 0 ? 0 : a > need ? need : static_cast<int>(a);
      result = SQLITE_IOERR_SHORT_READ;
    } else if (rc != SQLITE_OK) {
      return rc;
    }
    const uint32_t pgno = static_cast<uint32_t>(pageStart / P + 1);
    if (!CodecDecrypt(f->codec, pgno, buf, avail & ~15)) return SQLITE_IOERR_READ;
    memcpy(out + (pos - off), buf + (pos - pageStart), static_cast<size_t>(stop - pos));
    pos = stop;
  }
  return result;
}

int MainWriteEnciphered(CodecFile* f, const unsigned char* data, int amt, sqlite3_int64 off) {
  if (!IsPageSize(amt) || off % amt != 0) {
    xLog(LOG_ERROR, "Encrypted database: refused a write of %d bytes at offset %lld, not one page\n",
         amt, static_cast<long long>(off));
    return SQLITE_IOERR_WRITE;
  }
  int headerSize = off == 0 ? HeaderPageSize(data, amt) : 0;
  if (headerSize && headerSize != amt) {
    xLog(LOG_ERROR,
         "Encrypted database: refused to change the page size from %d to %d bytes\n", amt,
         headerSize);
    return SQLITE_IOERR_WRITE;
  }
  if (headerSize && (data[18] == 2 || data[19] == 2)) {
    // The switch to a write-ahead log is refused before the file is marked,
    // since the log itself is not enciphered.
    xLog(LOG_ERROR, "Encrypted database: a write-ahead log is not supported\n");
    return SQLITE_IOERR_WRITE;
  }
  CodecSetPageSize(f->codec, amt);
  void* out = sqlite3Codec(f->codec, const_cast<unsigned char*>(data),
                           static_cast<uint32_t>(off / amt + 1), kCodecOpWriteDb);
  if (!out) return SQLITE_IOERR_WRITE;
  if (headerSize) f->filePageSize = headerSize;
  return f->real->pMethods->xWrite(f->real, out, amt, off);
}

// ---- rollback journal ----------------------------------------------------

// Page records are the page-sized transfers that follow a 4-byte page number;
// records start on multiples of 8 after a sector-aligned header, so their page
// bytes start at offsets of the form 8k + 4, where headers never are.
bool JournalRecordPgno(CodecFile* f, int amt, sqlite3_int64 off, uint32_t* pgno) {
  if (!IsPageSize(amt) || off < 4 || off % 8 != 4) return false;
  unsigned char b[4];
  if (f->real->pMethods->xRead(f->real, b, 4, off - 4) != SQLITE_OK) return false;
  *pgno = GetBE32(b);
  return *pgno >= 1 && *pgno != static_cast<uint32_t>(kPendingByte / amt + 1);
}

Codec* JournalCodec(CodecFile* f) { return f->main ? f->main->codec : nullptr; }

int JournalWrite(CodecFile* f, const unsigned char* data, int amt, sqlite3_int64 off) {
  Codec* c = JournalCodec(f);
  uint32_t pgno = 0;
  if (Reading(c) && JournalRecordPgno(f, amt, off, &pgno)) {
    CodecSetPageSize(c, amt);
    auto* out = static_cast<unsigned char*>(
        sqlite3Codec(c, const_cast<unsigned char*>(data), pgno, kCodecOpWriteJournal));
    if (!out) return SQLITE_IOERR_WRITE;
    f->recValid = true;
    f->recOff = off;
    f->recSize = amt;
    f->recSumPlain = PagerSum(data, amt);
    f->recSumCipher = PagerSum(out, amt);
    return f->real->pMethods->xWrite(f->real, out, amt, off);
  }
  if (amt == 4 && f->recValid && off == f->recOff + f->recSize) {
    // The record's checksum, restated for the bytes the journal holds.
    unsigned char b[4];
    PutBE32(b, GetBE32(data) - f->recSumPlain + f->recSumCipher);
    f->recValid = false;
    return f->real->pMethods->xWrite(f->real, b, 4, off);
  }
  f->recValid = false;
  return f->real->pMethods->xWrite(f->real, data, amt, off);
}

int JournalRead(CodecFile* f, unsigned char* out, int amt, sqlite3_int64 off) {
  if (amt == 4 && f->recValid && off == f->recOff + f->recSize) {
    f->recValid = false;
    int rc = f->real->pMethods->xRead(f->real, out, 4, off);
    if (rc == SQLITE_OK) PutBE32(out, GetBE32(out) - f->recSumCipher + f->recSumPlain);
    return rc;
  }
  f->recValid = false;
  int rc = f->real->pMethods->xRead(f->real, out, amt, off);
  Codec* c = JournalCodec(f);
  uint32_t pgno = 0;
  if (rc == SQLITE_OK && Reading(c) && JournalRecordPgno(f, amt, off, &pgno)) {
    f->recSumCipher = PagerSum(out, amt);
    CodecSetPageSize(c, amt);
    if (!sqlite3Codec(c, out, pgno, kCodecOpRead)) return SQLITE_IOERR_READ;
    f->recSumPlain = PagerSum(out, amt);
    f->recValid = true;
    f->recOff = off;
    f->recSize = amt;
  }
  return rc;
}

// ---- temporary files -----------------------------------------------------

// AES-128-CTR keyed per file, the counter being the byte position, so that
// any range can be read or written on its own.
bool TempCrypt(CodecFile* f, unsigned char* data, int n, sqlite3_int64 off) {
  if (n <= 0) return true;
  unsigned char iv[16] = {};
  uint64_t block = static_cast<uint64_t>(off) / 16;
  for (int i = 0; i < 8; i++) iv[15 - i] = static_cast<unsigned char>(block >> (8 * i));
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  if (!ctx) return false;
  int outl = 0;
  unsigned char skip[16] = {};
  int skipLen = static_cast<int>(off % 16);
  bool ok = EVP_EncryptInit_ex(ctx, EVP_aes_128_ctr(), nullptr, f->tempKey, iv) == 1 &&
            (skipLen == 0 || EVP_EncryptUpdate(ctx, skip, &outl, skip, skipLen) == 1) &&
            EVP_EncryptUpdate(ctx, data, &outl, data, n) == 1;
  EVP_CIPHER_CTX_free(ctx);
  return ok;
}

int TempRead(CodecFile* f, unsigned char* out, int amt, sqlite3_int64 off) {
  int rc = f->real->pMethods->xRead(f->real, out, amt, off);
  int avail = amt;
  if (rc == SQLITE_IOERR_SHORT_READ) {
    sqlite3_int64 size = 0;
    f->real->pMethods->xFileSize(f->real, &size);
    sqlite3_int64 a = size - off;
    avail = a < 0 ? 0 : a > amt ? amt : static_cast<int>(a);
  } else if (rc != SQLITE_OK) {
    return rc;
  }
  return TempCrypt(f, out, avail, off) ? rc : SQLITE_IOERR_READ;
}

int TempWrite(CodecFile* f, const unsigned char* data, int amt, sqlite3_int64 off) {
  unsigned char* buf = Scratch(f, static_cast<size_t>(amt));
  memcpy(buf, data, static_cast<size_t>(amt));
  if (!TempCrypt(f, buf, amt, off)) return SQLITE_IOERR_WRITE;
  return f->real->pMethods->xWrite(f->real, buf, amt, off);
}

// ---- io methods ----------------------------------------------------------

bool WalRefused(CodecFile* f) {
  if (f->kind != Kind::Wal || !f->main || !f->main->codec || !f->main->codec->encrypted) return false;
  xLog(LOG_ERROR, "Encrypted database: a write-ahead log is not supported\n");
  return true;
}

int XClose(sqlite3_file* file) {
  CodecFile* f = Cf(file);
  int rc = f->real->pMethods ? f->real->pMethods->xClose(f->real) : SQLITE_OK;
  if (f->kind == Kind::MainDb) {
    FileRegistry& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.files.erase(f->dbName);
  }
  sqlite3CodecFree(f->codec);
  OPENSSL_cleanse(f->tempKey, sizeof(f->tempKey));
  if (!f->scratch.empty()) OPENSSL_cleanse(f->scratch.data(), f->scratch.size());
  f->~CodecFile();
  return rc;
}

int XRead(sqlite3_file* file, void* out, int amt, sqlite3_int64 off) {
  CodecFile* f = Cf(file);
  auto* p = static_cast<unsigned char*>(out);
  switch (f->kind) {
    case Kind::MainDb:
      if (Reading(f->codec)) return MainReadDeciphered(f, p, amt, off);
      break;
    case Kind::Journal:
      return JournalRead(f, p, amt, off);
    case Kind::Temp:
      return TempRead(f, p, amt, off);
    case Kind::Wal:
      if (WalRefused(f)) return SQLITE_IOERR_READ;
      break;
    case Kind::Plain:
      break;
  }
  return f->real->pMethods->xRead(f->real, out, amt, off);
}

int XWriteThrough(sqlite3_file* file, const void* data, int amt, sqlite3_int64 off) {
  CodecFile* f = Cf(file);
  auto* p = static_cast<const unsigned char*>(data);
  CodecVfsWriteHook hook = g_writeHook.load();
  if (hook && (f->kind == Kind::MainDb || f->kind == Kind::Journal)) {
    int rc = hook(f->kind == Kind::Journal, off, amt);
    if (rc != SQLITE_OK) return rc;
  }
  switch (f->kind) {
    case Kind::MainDb:
      if (Writing(f->codec)) return MainWriteEnciphered(f, p, amt, off);
      if (off == 0) f->filePageSize = 0;
      break;
    case Kind::Journal:
      return JournalWrite(f, p, amt, off);
    case Kind::Temp:
      return TempWrite(f, p, amt, off);
    case Kind::Wal:
      if (WalRefused(f)) return SQLITE_IOERR_WRITE;
      break;
    case Kind::Plain:
      break;
  }
  return f->real->pMethods->xWrite(f->real, data, amt, off);
}

thread_local int t_writeRefusal = 0;  // see CodecVfsWriteRefusal

// A write refused by the file-size limit or the quota is a full disk, as
// the platform layer reports a write refused for want of space: the
// caller then says so instead of reporting an I/O error. Which of the
// three it was is kept for the caller's reason.
int XWrite(sqlite3_file* file, const void* data, int amt, sqlite3_int64 off) {
  errno = 0;
  int rc = XWriteThrough(file, data, amt, off);
  const int sys = errno;
  if (rc == SQLITE_IOERR_WRITE && (sys == EFBIG || sys == EDQUOT)) rc = SQLITE_FULL;
  if (rc == SQLITE_FULL) t_writeRefusal = sys == EFBIG || sys == EDQUOT ? sys : ENOSPC;
  return rc;
}

int XTruncate(sqlite3_file* file, sqlite3_int64 size) {
  CodecFile* f = Cf(file);
  if (size < 32) f->filePageSize = 0;
  return f->real->pMethods->xTruncate(f->real, size);
}
int XSync(sqlite3_file* file, int flags) { return Cf(file)->real->pMethods->xSync(Cf(file)->real, flags); }
int XFileSize(sqlite3_file* file, sqlite3_int64* size) {
  return Cf(file)->real->pMethods->xFileSize(Cf(file)->real, size);
}
int XLock(sqlite3_file* file, int lock) { return Cf(file)->real->pMethods->xLock(Cf(file)->real, lock); }
int XUnlock(sqlite3_file* file, int lock) {
  return Cf(file)->real->pMethods->xUnlock(Cf(file)->real, lock);
}
int XCheckReservedLock(sqlite3_file* file, int* out) {
  return Cf(file)->real->pMethods->xCheckReservedLock(Cf(file)->real, out);
}
// "PRAGMA key" keys the database as sqlite3_key does; "PRAGMA rekey" needs the
// connection and fails with a message. Without this SQLite would take both as
// unknown pragmas and ignore them, leaving the file plain.
int KeyPragma(CodecFile* f, char** azArg) {
  const char* name = azArg[1];
  const char* value = azArg[2];
  if (sqlite3_stricmp(name, "rekey") == 0) {
    azArg[0] = sqlite3_mprintf("re-key with sqlite3_rekey");
    return SQLITE_ERROR;
  }
  if (!value || !*value) return SQLITE_OK;
  Codec* c = CodecCreate();
  if (!c) return SQLITE_NOMEM;
  c->encrypted = 1;
  CodecGenerateReadKey(c, value, static_cast<int>(strlen(value)));
  CodecCopyKey(c, true);
  c->hasReadKey = 1;
  c->hasWriteKey = 1;
  CodecVfsSetCodec(&f->base, c);
  return SQLITE_OK;
}

int XFileControl(sqlite3_file* file, int op, void* arg) {
  CodecFile* f = Cf(file);
  if (op == SQLITE_FCNTL_PRAGMA && f->kind == Kind::MainDb) {
    char** azArg = static_cast<char**>(arg);
    if (azArg[1] && (sqlite3_stricmp(azArg[1], "key") == 0 || sqlite3_stricmp(azArg[1], "rekey") == 0))
      return KeyPragma(f, azArg);
  }
  return f->real->pMethods->xFileControl(f->real, op, arg);
}
int XSectorSize(sqlite3_file* file) { return Cf(file)->real->pMethods->xSectorSize(Cf(file)->real); }
int XDeviceCharacteristics(sqlite3_file* file) {
  // Batch-atomic writes would let SQLite keep the journal in memory and write
  // it out in arbitrary pieces; the journal handling needs page records.
  return Cf(file)->real->pMethods->xDeviceCharacteristics(Cf(file)->real) &
         ~SQLITE_IOCAP_BATCH_ATOMIC;
}
int XShmMap(sqlite3_file* file, int pg, int size, int extend, void volatile** pp) {
  sqlite3_file* r = Cf(file)->real;
  if (r->pMethods->iVersion < 2) return SQLITE_IOERR_SHMMAP;
  return r->pMethods->xShmMap(r, pg, size, extend, pp);
}
int XShmLock(sqlite3_file* file, int offset, int n, int flags) {
  sqlite3_file* r = Cf(file)->real;
  if (r->pMethods->iVersion < 2) return SQLITE_IOERR_SHMLOCK;
  return r->pMethods->xShmLock(r, offset, n, flags);
}
void XShmBarrier(sqlite3_file* file) {
  sqlite3_file* r = Cf(file)->real;
  if (r->pMethods->iVersion >= 2) r->pMethods->xShmBarrier(r);
}
int XShmUnmap(sqlite3_file* file, int deleteFlag) {
  sqlite3_file* r = Cf(file)->real;
  if (r->pMethods->iVersion < 2) return SQLITE_OK;
  return r->pMethods->xShmUnmap(r, deleteFlag);
}
int XFetch(sqlite3_file* file, sqlite3_int64 off, int amt, void** pp) {
  CodecFile* f = Cf(file);
  *pp = nullptr;
  // Mapped pages would bypass the cipher: enciphered files are always read.
  if (f->kind != Kind::MainDb || f->codec || f->real->pMethods->iVersion < 3) return SQLITE_OK;
  return f->real->pMethods->xFetch(f->real, off, amt, pp);
}
int XUnfetch(sqlite3_file* file, sqlite3_int64 off, void* p) {
  sqlite3_file* r = Cf(file)->real;
  if (r->pMethods->iVersion < 3) return SQLITE_OK;
  return r->pMethods->xUnfetch(r, off, p);
}

const sqlite3_io_methods kMethods = {
    3,          XClose,      XRead,    XWrite,       XTruncate,          XSync,
    XFileSize,  XLock,       XUnlock,  XCheckReservedLock,  XFileControl, XSectorSize,
    XDeviceCharacteristics, XShmMap, XShmLock, XShmBarrier, XShmUnmap, XFetch, XUnfetch};

// ---- vfs -----------------------------------------------------------------

int XOpen(sqlite3_vfs* vfs, sqlite3_filename zName, sqlite3_file* file, int flags, int* outFlags) {
  sqlite3_vfs* real = RealVfs(vfs);
  CodecFile* f = new (file) CodecFile();
  f->base.pMethods = nullptr;
  f->real = reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(file) + kRealOffset);
  f->real->pMethods = nullptr;
  if (!zName || (flags & SQLITE_OPEN_DELETEONCLOSE)) {
    f->kind = Kind::Temp;
  } else if (flags & SQLITE_OPEN_MAIN_DB) {
    f->kind = Kind::MainDb;
  } else if (flags & SQLITE_OPEN_MAIN_JOURNAL) {
    f->kind = Kind::Journal;
  } else if (flags & SQLITE_OPEN_WAL) {
    f->kind = Kind::Wal;
  }
  if (f->kind == Kind::Journal || f->kind == Kind::Wal) {
    FileRegistry& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.files.find(sqlite3_filename_database(zName));
    if (it != registry.files.end()) f->main = it->second;
  }
  if (WalRefused(f)) {
    f->~CodecFile();
    return SQLITE_CANTOPEN;
  }
  if (f->kind == Kind::Temp && RAND_bytes(f->tempKey, sizeof(f->tempKey)) != 1)
    sqlite3_randomness(sizeof(f->tempKey), f->tempKey);
  int rc = real->xOpen(real, zName, f->real, flags, outFlags);
  if (rc != SQLITE_OK) {
    // SQLite does not close a file whose open failed.
    if (f->real->pMethods) f->real->pMethods->xClose(f->real);
    f->~CodecFile();
    file->pMethods = nullptr;
    return rc;
  }
  if (f->kind == Kind::MainDb) {
    f->dbName = zName;
    FileRegistry& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.files[zName] = f;
  }
  f->base.pMethods = &kMethods;
  return SQLITE_OK;
}

int XDelete(sqlite3_vfs* vfs, const char* name, int syncDir) {
  return RealVfs(vfs)->xDelete(RealVfs(vfs), name, syncDir);
}
int XAccess(sqlite3_vfs* vfs, const char* name, int flags, int* out) {
  return RealVfs(vfs)->xAccess(RealVfs(vfs), name, flags, out);
}
int XFullPathname(sqlite3_vfs* vfs, const char* name, int n, char* out) {
  return RealVfs(vfs)->xFullPathname(RealVfs(vfs), name, n, out);
}
void* XDlOpen(sqlite3_vfs* vfs, const char* name) { return RealVfs(vfs)->xDlOpen(RealVfs(vfs), name); }
void XDlError(sqlite3_vfs* vfs, int n, char* msg) { RealVfs(vfs)->xDlError(RealVfs(vfs), n, msg); }
void (*XDlSym(sqlite3_vfs* vfs, void* h, const char* sym))(void) {
  return RealVfs(vfs)->xDlSym(RealVfs(vfs), h, sym);
}
void XDlClose(sqlite3_vfs* vfs, void* h) { RealVfs(vfs)->xDlClose(RealVfs(vfs), h); }
int XRandomness(sqlite3_vfs* vfs, int n, char* out) {
  return RealVfs(vfs)->xRandomness(RealVfs(vfs), n, out);
}
int XSleep(sqlite3_vfs* vfs, int us) { return RealVfs(vfs)->xSleep(RealVfs(vfs), us); }
int XCurrentTime(sqlite3_vfs* vfs, double* out) {
  return RealVfs(vfs)->xCurrentTime(RealVfs(vfs), out);
}
int XGetLastError(sqlite3_vfs* vfs, int n, char* out) {
  return RealVfs(vfs)->xGetLastError ? RealVfs(vfs)->xGetLastError(RealVfs(vfs), n, out) : 0;
}
int XCurrentTimeInt64(sqlite3_vfs* vfs, sqlite3_int64* out) {
  return RealVfs(vfs)->xCurrentTimeInt64(RealVfs(vfs), out);
}
int XSetSystemCall(sqlite3_vfs* vfs, const char* name, sqlite3_syscall_ptr p) {
  return RealVfs(vfs)->xSetSystemCall(RealVfs(vfs), name, p);
}
sqlite3_syscall_ptr XGetSystemCall(sqlite3_vfs* vfs, const char* name) {
  return RealVfs(vfs)->xGetSystemCall(RealVfs(vfs), name);
}
const char* XNextSystemCall(sqlite3_vfs* vfs, const char* name) {
  return RealVfs(vfs)->xNextSystemCall(RealVfs(vfs), name);
}

int RegisterOnce() {
  sqlite3_vfs* real = sqlite3_vfs_find(nullptr);
  if (!real) return SQLITE_ERROR;
  if (strcmp(real->zName, kVfsName) == 0) return SQLITE_OK;
  static sqlite3_vfs vfs;
  memset(&vfs, 0, sizeof(vfs));
  vfs.iVersion = real->iVersion < 3 ? real->iVersion : 3;
  vfs.szOsFile = kRealOffset + real->szOsFile;
  vfs.mxPathname = real->mxPathname;
  vfs.zName = kVfsName;
  vfs.pAppData = real;
  vfs.xOpen = XOpen;
  vfs.xDelete = XDelete;
  vfs.xAccess = XAccess;
  vfs.xFullPathname = XFullPathname;
  vfs.xDlOpen = real->xDlOpen ? XDlOpen : nullptr;
  vfs.xDlError = real->xDlError ? XDlError : nullptr;
  vfs.xDlSym = real->xDlSym ? XDlSym : nullptr;
  vfs.xDlClose = real->xDlClose ? XDlClose : nullptr;
  vfs.xRandomness = XRandomness;
  vfs.xSleep = XSleep;
  vfs.xCurrentTime = XCurrentTime;
  vfs.xGetLastError = XGetLastError;
  if (vfs.iVersion >= 2) vfs.xCurrentTimeInt64 = real->xCurrentTimeInt64 ? XCurrentTimeInt64 : nullptr;
  if (vfs.iVersion >= 3) {
    vfs.xSetSystemCall = real->xSetSystemCall ? XSetSystemCall : nullptr;
    vfs.xGetSystemCall = real->xGetSystemCall ? XGetSystemCall : nullptr;
    vfs.xNextSystemCall = real->xNextSystemCall ? XNextSystemCall : nullptr;
  }
  return sqlite3_vfs_register(&vfs, 1);
}

}  // namespace

int CodecVfsRegister() {
  static const int rc = RegisterOnce();
  return rc;
}

const char* CodecVfsName() { return kVfsName; }

sqlite3_file* CodecVfsFile(sqlite3* db, const char* dbName) {
  sqlite3_file* file = nullptr;
  if (!db || sqlite3_file_control(db, dbName, SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK)
    return nullptr;
  if (!file || file->pMethods != &kMethods || Cf(file)->kind != Kind::MainDb) return nullptr;
  return file;
}

Codec* CodecVfsGetCodec(sqlite3_file* file) { return file ? Cf(file)->codec : nullptr; }

void CodecVfsSetCodec(sqlite3_file* file, Codec* codec) {
  CodecFile* f = Cf(file);
  if (f->codec != codec) sqlite3CodecFree(f->codec);
  f->codec = codec;
  f->filePageSize = 0;
}

void CodecVfsKeyChanged(sqlite3_file* file) { Cf(file)->filePageSize = 0; }

void CodecVfsSetWriteHook(CodecVfsWriteHook hook) { g_writeHook.store(hook); }

int CodecVfsWriteRefusal() { return t_writeRefusal; }

}  // namespace quillery
