#include "Interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "base/Progress.h"
#include "base/SafeSave.h"

namespace quillery_host {
namespace {

volatile sig_atomic_t g_signals = 0;
struct termios g_tty;
volatile sig_atomic_t g_ttyFd = -1;
volatile sig_atomic_t g_stderrTty = 0;

// The one line of a hard stop, in the words of every other Ctrl-C failure.
// A progress bar on the terminal is erased first; nothing else goes to a
// file or pipe.
void SayInterrupted() {
  static const char kErase[] = "\r\033[K";
  static const char kMsg[] = "interrupted\n";
  if (g_stderrTty) (void)!write(STDERR_FILENO, kErase, sizeof(kErase) - 1);
  (void)!write(STDERR_FILENO, kMsg, sizeof(kMsg) - 1);
}

void OnSignal(int) {
  if (g_ttyFd >= 0) {  // at a prompt: nothing to cancel, restore the echo
    tcsetattr(g_ttyFd, TCSAFLUSH, &g_tty);
    (void)!write(g_ttyFd, "\n", 1);  // ends the prompt's line
    SayInterrupted();
    _exit(130);
  }
  if (g_signals++ == 0) {
    // std::atomic<bool> is lock-free here, so the store is safe in a handler.
    ProgressInfo::SetCanceled(true);
    return;
  }
  quillery::RemovePendingTempFiles();
  SayInterrupted();
  _exit(130);
}

}  // namespace

void InstallInterruptHandler() {
  g_stderrTty = isatty(STDERR_FILENO) ? 1 : 0;
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

void SetPromptTerminal(int fd, const struct termios* saved) {
  g_ttyFd = -1;
  if (fd < 0 || !saved) return;
  g_tty = *saved;
  g_ttyFd = fd;
}

}  // namespace quillery_host
