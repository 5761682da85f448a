#include "ProgressBar.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "base/Progress.h"

namespace quillery_host {
namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

const int64_t kDelayMs = 400;  // quicker operations show no bar at all
const int64_t kRedrawMs = 100;
const int kWidth = 30;

}  // namespace

ProgressBar::ProgressBar(const std::string& label, bool enabled)
    : m_label(label), m_enabled(enabled && isatty(STDERR_FILENO)), m_start(NowMs()) {
  if (m_enabled) ProgressInfo::SetObserver([this](int64_t cur, int64_t total) { Update(cur, total); });
}

ProgressBar::~ProgressBar() {
  if (!m_enabled) return;
  ProgressInfo::SetObserver(ProgressInfo::Observer());
  if (m_shown) fprintf(stderr, "\r\033[K");
}

void ProgressBar::Update(int64_t current, int64_t total) {
  // After a signal the line below the bar tells what happens; no bar
  // follows it.
  if (ProgressInfo::IsCanceled()) return;
  const int64_t now = NowMs();
  if (now - m_start < kDelayMs || now - m_lastDraw < kRedrawMs) return;
  m_lastDraw = now;
  m_shown = true;
  if (total <= 0) {
    fprintf(stderr, "\r\033[K%s ...", m_label.c_str());
  } else {
    if (current > total) current = total;
    if (current < 0) current = 0;
    const int filled = static_cast<int>(current * kWidth / total);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kWidth - filled), '.');
    fprintf(stderr, "\r\033[K%s [%s] %3d%%", m_label.c_str(), bar.c_str(), static_cast<int>(current * 100 / total));
  }
  fflush(stderr);
}

}  // namespace quillery_host
