#include "Interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "base/Progress.h"

namespace quillery_host {
namespace {

volatile sig_atomic_t g_signals = 0;
// Written only outside the handler while their flags are 0.
char g_pending[PATH_MAX];
volatile sig_atomic_t g_pendingSet = 0;
struct termios g_tty;
volatile sig_atomic_t g_ttyFd = -1;

void OnSignal(int) {
  static const char kMsg[] = "\ninterrupted\n";
  if (g_ttyFd >= 0) {  // at a prompt: nothing to cancel, restore the echo
    tcsetattr(g_ttyFd, TCSAFLUSH, &g_tty);
    (void)!write(STDERR_FILENO, kMsg, sizeof(kMsg) - 1);
    _exit(130);
  }
  if (g_signals++ == 0) {
    // std::atomic<bool> is lock-free here, so the store is safe in a handler.
    ProgressInfo::SetCanceled(true);
    return;
  }
  if (g_pendingSet) unlink(g_pending);
  (void)!write(STDERR_FILENO, kMsg, sizeof(kMsg) - 1);
  _exit(130);
}

}  // namespace

void InstallInterruptHandler() {
  struct sigaction sa;
  memset(&sa, 0, sizeof(sa));
  sa.sa_handler = OnSignal;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGXFSZ, SIG_IGN);
}

bool WasInterrupted() { return g_signals != 0; }

void ResetProgress() {
  ProgressInfo::Reset();
  if (WasInterrupted()) ProgressInfo::SetCanceled(true);
}

void SetPendingOutput(const std::string& path) {
  g_pendingSet = 0;
  if (path.empty() || path.size() >= sizeof(g_pending)) return;
  memcpy(g_pending, path.c_str(), path.size() + 1);
  g_pendingSet = 1;
}

void SetPromptTerminal(int fd, const struct termios* saved) {
  g_ttyFd = -1;
  if (fd < 0 || !saved) return;
  g_tty = *saved;
  g_ttyFd = fd;
}

}  // namespace quillery_host
