#pragma once

// Helpers shared by the encrypted-database tests.

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

#include "sqlite/access/CppSQLite3.h"
#include "sqlite/codec/PageCodec.h"

namespace quillery_test {

constexpr char kMarker[] = "MARKER-plaintext-that-must-not-reach-the-disk";

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
inline bool FileHas(const std::string& path, const std::string& text) {
  return ReadAll(path).find(text) != std::string::npos;
}
inline bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Opens path, keyed with pw unless pw is null.
inline bool Open(CppSQLite3DB& db, const std::string& path, const char* pw) {
  CppSQLite3Exception err;
  db.open(path.c_str(), &err);
  if (pw) db.setPassword(pw, &err);
  return err.errorCode() == 0 && db.isOpen();
}

// Adds count rows to table t (created when missing), each with the marker and
// enough text to need overflow pages now and then. False on any failure.
inline bool AddRows(CppSQLite3DB& db, int first, int count) {
  CppSQLite3Exception err;
  db.execDML("CREATE TABLE IF NOT EXISTS t(id INTEGER PRIMARY KEY, body TEXT)", &err);
  db.execDML("BEGIN", &err);
  CppSQLite3Statement st = db.compileStatement("INSERT INTO t VALUES(?, ?)", &err);
  for (int i = first; i < first + count && err.errorCode() == 0; i++) {
    std::string body = std::string(kMarker) + " " + std::to_string(i) +
                       std::string(static_cast<size_t>(i % 7 == 0 ? 5000 : 60), 'x');
    st.bind(1, i, &err);
    st.bind(2, body.c_str(), &err);
    st.execDML(&err);
  }
  st.finalize();
  if (err.errorCode() != 0) {
    db.execDML("ROLLBACK");
    return false;
  }
  db.execDML("COMMIT", &err);
  return err.errorCode() == 0;
}

// The row count, or -1 when the database cannot be read (error in err).
inline int Count(CppSQLite3DB& db, CppSQLite3Exception* err = nullptr) {
  CppSQLite3Exception e;
  CppSQLite3Query q = db.execQuery("SELECT count(*) FROM t", &e);
  if (err) *err = e;
  return e.errorCode() ? -1 : q.getIntField(0);
}

inline bool IntegrityOk(CppSQLite3DB& db) {
  CppSQLite3Query q = db.execQuery("PRAGMA integrity_check");
  return !q.eof() && std::string(q.getStringField(0)) == "ok";
}

inline int CountWith(const std::string& path, const char* pw, CppSQLite3Exception* err = nullptr) {
  CppSQLite3DB db;
  if (!Open(db, path, pw)) return -2;
  return Count(db, err);
}

// Deciphers every page of an encrypted file with its password into a plain
// file that SQLite reads without a key; returns the plain bytes.
inline std::string DecipherFile(const std::string& path, const char* pw, int pageSize,
                                const std::string& outPath) {
  std::string bytes = ReadAll(path);
  Codec* c = CodecCreate();
  CodecGenerateReadKey(c, pw, static_cast<int>(strlen(pw)));
  for (size_t off = 0; off + pageSize <= bytes.size(); off += pageSize) {
    CodecDecrypt(c, static_cast<uint32_t>(off / pageSize + 1),
                 reinterpret_cast<unsigned char*>(&bytes[off]), pageSize);
  }
  sqlite3CodecFree(c);
  std::ofstream(outPath, std::ios::binary) << bytes;
  return bytes;
}

}  // namespace quillery_test
