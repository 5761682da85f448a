#pragma once

// A UTF-8 byte string with the few prefix and substring helpers the HTML
// reader uses. Offsets and counts here are in bytes; character offsets go
// through quillery::Utf8CharToByteOffset (base/StringUtil.h).

#include <cstring>
#include <string>

class StringUtf8 {
 public:
  StringUtf8() = default;
  StringUtf8(const char* s) : m_str(s ? s : "") {}  // NOLINT: implicit on purpose
  StringUtf8(const std::string& s) : m_str(s) {}     // NOLINT
  StringUtf8(const char* s, size_t len) : m_str(s ? std::string(s, len) : std::string()) {}

  // True when the text is at least as long as the prefix and begins with it;
  // exact bytes when exact is true, ASCII letters in any case when false.
  bool StartsWith(const char* prefix, bool exact = true) const {
    size_t n = prefix ? strlen(prefix) : 0;
    if (m_str.size() < n) return false;
    for (size_t i = 0; i < n; ++i) {
      char a = m_str[i], b = prefix[i];
      if (a == b) continue;
      if (exact || Lower(a) != Lower(b)) return false;
    }
    return true;
  }
  bool StartsWith(const std::string& prefix, bool exact = true) const {
    return StartsWith(prefix.c_str(), exact);
  }

  // Substring from a byte offset with a byte count, both clamped to the text
  // (a negative offset counts as 0, a negative count as "to the end").
  std::string Mid(long long offset, long long count = -1) const {
    if (offset < 0) offset = 0;
    if (static_cast<size_t>(offset) >= m_str.size()) return std::string();
    size_t rest = m_str.size() - static_cast<size_t>(offset);
    size_t n = (count < 0 || static_cast<size_t>(count) > rest) ? rest : static_cast<size_t>(count);
    return m_str.substr(static_cast<size_t>(offset), n);
  }

  const std::string& str() const { return m_str; }
  std::string& str() { return m_str; }
  const char* c_str() const { return m_str.c_str(); }
  size_t Length() const { return m_str.size(); }
  bool IsEmpty() const { return m_str.empty(); }
  operator const std::string&() const { return m_str; }  // NOLINT

 private:
  static char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
  std::string m_str;
};
