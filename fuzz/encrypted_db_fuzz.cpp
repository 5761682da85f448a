// An encrypted database whose plain pages (and hot journal) are arbitrary
// bytes: the input is enciphered page by page with the page cipher, written
// as a database (and journal), opened with the key, read and written. Nothing
// may crash, hang or touch memory it does not own; SQLite reports the damage.
//
// Input: 2 bytes (big-endian) journal length L, L bytes of journal (written
// as they are), then the plain database bytes.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "sqlite/access/CppSQLite3.h"
#include "sqlite/codec/PageCodec.h"

namespace {

const char kKey[] = "fuzz";

std::string Path() {
  static const std::string p = "/tmp/qy_encrypted_db_fuzz." + std::to_string(getpid()) + ".db";
  return p;
}

void WriteFile(const std::string& path, const unsigned char* data, size_t n) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return;
  if (n) fwrite(data, 1, n, f);
  fclose(f);
}

int PageSizeOf(const std::vector<unsigned char>& db) {
  if (db.size() < 18) return 4096;
  int size = (db[16] << 8) | (db[17] << 16);
  return size >= 512 && size <= 65536 && (size & (size - 1)) == 0 ? size : 4096;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  size_t jlen = (size_t(data[0]) << 8) | data[1];
  if (jlen > size - 2) jlen = size - 2;
  const unsigned char* journal = data + 2;
  std::vector<unsigned char> db(data + 2 + jlen, data + size);

  Codec* c = CodecCreate();
  CodecGenerateReadKey(c, kKey, 4);
  const int pageSize = PageSizeOf(db);
  for (size_t off = 0; off < db.size(); off += pageSize) {
    size_t n = db.size() - off < size_t(pageSize) ? (db.size() - off) & ~size_t(15) : pageSize;
    CodecEncrypt(c, static_cast<uint32_t>(off / pageSize + 1), db.data() + off, static_cast<int>(n),
                 false);
  }
  sqlite3CodecFree(c);

  const std::string path = Path();
  WriteFile(path, db.data(), db.size());
  if (jlen) {
    WriteFile(path + "-journal", journal, jlen);
  } else {
    remove((path + "-journal").c_str());
  }
  {
    CppSQLite3DB conn;
    conn.open(path.c_str());
    conn.setPassword(kKey);
    conn.execDML("PRAGMA cell_size_check=ON");
    CppSQLite3Query q = conn.execQuery("PRAGMA integrity_check(20)");
    for (int i = 0; i < 50 && !q.eof(); i++) q.nextRow();
    q.finalize();
    CppSQLite3Query m = conn.execQuery("SELECT name, sql FROM sqlite_master");
    for (int i = 0; i < 50 && !m.eof(); i++) m.nextRow();
    m.finalize();
    conn.execDML("CREATE TABLE IF NOT EXISTS z(x); INSERT INTO z VALUES(randomblob(3000))");
  }
  remove(path.c_str());
  remove((path + "-journal").c_str());
  return 0;
}
