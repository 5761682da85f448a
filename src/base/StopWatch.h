#pragma once

// Measures elapsed time from construction (or the last Start) on the
// monotonic clock, for log lines about long operations.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

class StopWatch {
 public:
  StopWatch() { Start(); }
  void Start() { m_start = std::chrono::steady_clock::now(); }

  // Whole milliseconds since the start.
  int64_t GetElapsedMiliSeconds() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now() - m_start)
        .count();
  }

  // "%d:%02d:%02d.%03d": hours, minutes, seconds, milliseconds (3723004 ->
  // "1:02:03.004"). Negative values count as 0.
  static void FormatDiffMsec(int64_t ms, std::string& out) {
    if (ms < 0) ms = 0;
    char buf[48];
    snprintf(buf, sizeof(buf), "%lld:%02d:%02d.%03d", static_cast<long long>(ms / 3600000),
             static_cast<int>(ms / 60000 % 60), static_cast<int>(ms / 1000 % 60),
             static_cast<int>(ms % 1000));
    out = buf;
  }

 private:
  std::chrono::steady_clock::time_point m_start;
};
