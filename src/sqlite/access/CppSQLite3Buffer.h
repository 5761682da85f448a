#pragma once

// CppSQLite3Buffer: one SQL text built with SQLite's printf, so that its own
// conversions are available (%Q quotes a text as an SQL literal or writes NULL,
// %q doubles apostrophes). Owns the text (SQLite's allocator); null when empty.

class CppSQLite3Buffer {
 public:
  CppSQLite3Buffer() = default;
  ~CppSQLite3Buffer();
  CppSQLite3Buffer(const CppSQLite3Buffer&) = delete;
  CppSQLite3Buffer& operator=(const CppSQLite3Buffer&) = delete;

  // Replaces the text; returns it (null when SQLite runs out of memory).
  const char* format(const char* fmt, ...);
  operator const char*() const { return mpBuf; }
  void clear();

 private:
  char* mpBuf = nullptr;
};
