#include "base/Log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <sys/time.h>

namespace quillery {
namespace {

struct LogState {
  std::mutex mutex;
  int screenLevel = 0;
  int fileLevel = 0;
  FILE* file = nullptr;
  int captureLevel = 0;
  LogCaptureFn capture;
};

LogState& State() {
  static LogState state;
  return state;
}

// Serializes the calls of the capture hook (it may log again on its thread).
std::recursive_mutex& CaptureMutex() {
  static std::recursive_mutex mutex;
  return mutex;
}

// Highest threshold of any target; read without the lock on the fast path.
std::atomic<int> g_maxLevel{0};

void RecalcMax(LogState& s) {
  int m = s.screenLevel;
  if (s.file && s.fileLevel > m) m = s.fileLevel;
  if (s.capture && s.captureLevel > m) m = s.captureLevel;
  g_maxLevel.store(m, std::memory_order_relaxed);
}

void WriteLine(FILE* out, int level, const char* prefix, const std::string& msg) {
  fputs(prefix, out);
  if (level < LOG_WARNING) fputs("Error: ", out);
  fwrite(msg.data(), 1, msg.size(), out);
  fflush(out);
}

}  // namespace

void LogSetScreenLevel(int level) {
  LogState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.screenLevel = level;
  RecalcMax(s);
}

int LogGetScreenLevel() {
  LogState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.screenLevel;
}

bool LogOpenFile(const char* path, int level) {
  LogState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.file) fclose(s.file);
  s.file = fopen(path, "ae");
  s.fileLevel = s.file ? level : 0;
  RecalcMax(s);
  return s.file != nullptr;
}

void LogCloseFile() {
  LogState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.file) fclose(s.file);
  s.file = nullptr;
  s.fileLevel = 0;
  RecalcMax(s);
}

void LogSetCapture(int level, LogCaptureFn fn) {
  LogState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.capture = std::move(fn);
  s.captureLevel = s.capture ? level : 0;
  RecalcMax(s);
}

bool LogWants(int level) {
  return level <= g_maxLevel.load(std::memory_order_relaxed);
}

static void LogCaptureState(int& level, LogCaptureFn& fn) {
  LogState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  level = s.captureLevel;
  fn = s.capture;
}

LogCapture::LogCapture(int level) : m_prevLevel(0) {
  LogCaptureState(m_prevLevel, m_prevFn);
  LogSetCapture(level, [this](int lvl, const std::string& msg) {
    m_levels.push_back(lvl);
    m_lines.push_back(msg);
  });
}

LogCapture::~LogCapture() { LogSetCapture(m_prevLevel, m_prevFn); }

bool LogCapture::Contains(const std::string& text, int maxLevel) const {
  for (size_t i = 0; i < m_lines.size(); ++i)
    if (m_levels[i] <= maxLevel && m_lines[i].find(text) != std::string::npos) return true;
  return false;
}

bool LogCapture::Has(const std::string& text) const {
  for (const std::string& line : m_lines)
    if (line == text) return true;
  return false;
}

void LogCapture::Clear() {
  m_lines.clear();
  m_levels.clear();
}

}  // namespace quillery

void xLog(int level, const char* fmt, ...) {
  using namespace quillery;
  if (!LogWants(level) || level <= 0) return;

  char stackBuf[1024];
  std::string msg;
  va_list args;
  va_start(args, fmt);
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(stackBuf, sizeof(stackBuf), fmt, args);
  va_end(args);
  if (n < 0) {
    va_end(copy);
    return;
  }
  if (static_cast<size_t>(n) < sizeof(stackBuf)) {
    msg.assign(stackBuf, static_cast<size_t>(n));
  } else {
    msg.resize(static_cast<size_t>(n) + 1);
    vsnprintf(&msg[0], msg.size(), fmt, copy);
    msg.resize(static_cast<size_t>(n));
  }
  va_end(copy);

  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm tmNow;
  localtime_r(&tv.tv_sec, &tmNow);
  char prefix[32];
  snprintf(prefix, sizeof(prefix), "%02d:%02d:%02d.%03d ", tmNow.tm_hour, tmNow.tm_min,
           tmNow.tm_sec, static_cast<int>(tv.tv_usec / 1000));

  LogState& s = State();
  LogCaptureFn capture;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (level <= s.screenLevel) WriteLine(stderr, level, prefix, msg);
    if (s.file && level <= s.fileLevel) WriteLine(s.file, level, prefix, msg);
    if (s.capture && level <= s.captureLevel) capture = s.capture;
  }
  // Called outside the lock so that a hook may log or change targets itself;
  // one call at a time, so that a hook never sees two threads at once.
  if (capture) {
    std::lock_guard<std::recursive_mutex> lock(CaptureMutex());
    capture(level, msg);
  }
}
