#pragma once

// Process-wide logger. A message goes to every target whose threshold is at
// least the message's level; threshold 0 switches a target off. Targets: the
// screen (stderr), a file, and a capture hook for tests. When no target wants
// a level, xLog returns before it formats anything, so verbose calls in hot
// loops cost one comparison.
//
// Each screen/file line starts with the local time "%02d:%02d:%02d.%03d ",
// and messages below LOG_WARNING also carry "Error: ". The capture hook gets
// the formatted message alone (no time prefix), so tests can match it exactly.

#include <functional>
#include <string>
#include <vector>

enum LogLevel {
  LOG_ERROR = 2,
  LOG_WARNING = 3,
  LOG_INFO = 4,
  LOG_DEBUG = 5,
  LOG_TRACE = 6,
};

enum LogTarget {
  LOG_TARGET_BUFFER = 1,  // memory ring: not built, accepted and ignored
  LOG_TARGET_SCREEN = 2,
  LOG_TARGET_FILE = 3,
};

void xLog(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

namespace quillery {

// Threshold of the stderr target (0 = off, the default).
void LogSetScreenLevel(int level);
int LogGetScreenLevel();

// Appends to the file at path from now on; replaces any earlier log file.
// False when the file cannot be opened (the file target is then off).
bool LogOpenFile(const char* path, int level);
void LogCloseFile();

// Capture hook: called with the level and the formatted message for every
// message at or below level, by one thread at a time. An empty function (or
// level 0) removes it.
using LogCaptureFn = std::function<void(int level, const std::string& msg)>;
void LogSetCapture(int level, LogCaptureFn fn);

// True when some target would take a message of this level.
bool LogWants(int level);

// Collects messages while it lives; restores the previous capture hook when it
// goes away. For tests: `LogCapture cap; ...; EXPECT_TRUE(cap.Contains("x"));`
class LogCapture {
 public:
  explicit LogCapture(int level = LOG_TRACE);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  const std::vector<std::string>& Lines() const { return m_lines; }
  // True when some captured message contains text (at level <= maxLevel).
  bool Contains(const std::string& text, int maxLevel = LOG_TRACE) const;
  // True when some captured message is exactly text.
  bool Has(const std::string& text) const;
  void Clear();

 private:
  std::vector<std::string> m_lines;
  std::vector<int> m_levels;
  int m_prevLevel;
  LogCaptureFn m_prevFn;
};

}  // namespace quillery
