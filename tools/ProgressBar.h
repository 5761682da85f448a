#pragma once

// A one-line progress bar on stderr, fed by ProgressInfo's observer while a
// load or save runs. It appears only when stderr is a terminal and the
// operation has run longer than a moment, redraws at most ten times a
// second, and erases itself when the operation ends.
//
// One bar at a time: the constructor installs the observer, the destructor
// removes it.

#include <cstdint>
#include <string>

namespace quillery_host {

class ProgressBar {
 public:
  // label: what runs, as "loading notes.qyd". enabled false shows nothing.
  ProgressBar(const std::string& label, bool enabled);
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

 private:
  void Update(int64_t current, int64_t total);

  std::string m_label;
  bool m_enabled;
  bool m_shown = false;
  int64_t m_start;      // ms
  int64_t m_lastDraw = 0;
};

}  // namespace quillery_host
