#pragma once

// Seconds since the epoch (64-bit) with a set flag and a date-only flag.
// Assigning a count marks the value as set. A value that is unset, zero or
// negative counts as empty.

#include <cstdint>
#include <string>

class Timestamp {
 public:
  Timestamp() = default;
  explicit Timestamp(int64_t seconds) : m_seconds(seconds), m_bSet(true) {}

  Timestamp& operator=(int64_t seconds) {
    m_seconds = seconds;
    m_bSet = true;
    return *this;
  }
  void SetValue(int64_t seconds) { *this = seconds; }
  void Clear() {
    m_seconds = 0;
    m_bSet = false;
    m_bDateOnly = false;
  }

  bool IsSet() const { return m_bSet; }
  bool IsEmpty() const { return !m_bSet || m_seconds <= 0; }
  int64_t GetValue() const { return m_seconds; }  // ignores the set flag

  bool IsDateOnly() const { return m_bDateOnly; }
  void SetDateOnly(bool dateOnly) { m_bDateOnly = dateOnly; }

  // Text for an SQL statement: "NULL" when unset, else the full decimal of
  // the seconds (dates after 2038 keep their value).
  std::string GetSqlString() const {
    return m_bSet ? std::to_string(static_cast<long long>(m_seconds)) : std::string("NULL");
  }

  bool operator==(const Timestamp& o) const {
    return m_bSet == o.m_bSet && m_seconds == o.m_seconds && m_bDateOnly == o.m_bDateOnly;
  }
  bool operator!=(const Timestamp& o) const { return !(*this == o); }

 private:
  int64_t m_seconds = 0;
  bool m_bSet = false;
  bool m_bDateOnly = false;
};
