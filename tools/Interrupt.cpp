#include "Interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "base/Progress.h"

namespace quillery_host {
namespace {

volatile sig_atomic_t g_signals = 0;
// Written only outside the handler while g_pendingSet is 0.
char g_pending[PATH_MAX];
volatile sig_atomic_t g_pendingSet = 0;

void OnSignal(int) {
  if (g_signals++ == 0) {
    // std::atomic<bool> is lock-free here, so the store is safe in a handler.
    ProgressInfo::SetCanceled(true);
    return;
  }
  if (g_pendingSet) unlink(g_pending);
  static const char kMsg[] = "\ninterrupted\n";
  (void)!write(STDERR_FILENO, kMsg, sizeof(kMsg) - 1);
  _exit(130);
}

}  // namespace

void InstallInterruptHandler() {
  struct sigaction sa;
  memset(&sa, 0, sizeof(sa));
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // Past a file-size limit, writes fail with EFBIG and the engine reports
  // them (and removes its output) instead of the process dying mid-file.
  signal(SIGXFSZ, SIG_IGN);
}

bool WasInterrupted() { return g_signals != 0; }

void SetPendingOutput(const std::string& path) {
  g_pendingSet = 0;
  if (path.empty() || path.size() >= sizeof(g_pending)) return;
  memcpy(g_pending, path.c_str(), path.size() + 1);
  g_pendingSet = 1;
}

}  // namespace quillery_host
