#include "Interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>

#include "save/InstallSection.h"
#include "base/Progress.h"
#include "save/SafeSave.h"

namespace quillery_host {
namespace {

volatile sig_atomic_t g_signals = 0;
volatile sig_atomic_t g_firstSignal = 0;
struct termios g_tty;
volatile sig_atomic_t g_ttyFd = -1;
volatile sig_atomic_t g_stderrTty = 0;
// The lines of SetInterruptLine, each with its line feed; length 0: none.
struct Line {
  char text[1024];
  std::atomic<int> length{0};
};
Line g_line, g_stopLine;
volatile sig_atomic_t g_lineSaid = 0;

void Say(const char* text, size_t length) {
  static const char kErase[] = "\r\033[K";
  // A progress bar on the terminal is erased first.
  if (g_stderrTty) (void)!write(STDERR_FILENO, kErase, sizeof(kErase) - 1);
  (void)!write(STDERR_FILENO, text, length);
}

// The one line of a hard stop, in the words of every other Ctrl-C failure;
// nothing when the first signal's line was said.
void SayInterrupted() {
  static const char kMsg[] = "interrupted\n";
  if (!g_lineSaid) Say(kMsg, sizeof(kMsg) - 1);
}

// Ends the process at once. After an install that committed, the target
// holds the new document: the command did its work, and the status says so.
// Otherwise the stop line, when one is set, tells what is left.
void HardStop(bool committed) {
  if (committed) _exit(0);
  quillery::RemovePendingTempFiles();
  if (const int n = g_stopLine.length.load()) Say(g_stopLine.text, static_cast<size_t>(n));
  else SayInterrupted();
  _exit(InterruptedStatus());
}

void OnSignal(int signo) {
  if (g_ttyFd >= 0) {  // at a prompt: nothing to cancel, restore the echo
    tcsetattr(g_ttyFd, TCSAFLUSH, &g_tty);
    (void)!write(g_ttyFd, "\n", 1);  // ends the prompt's line
    g_firstSignal = signo;
    SayInterrupted();
    _exit(InterruptedStatus());
  }
  if (g_signals++ == 0) {
    g_firstSignal = signo;
    // std::atomic<bool> is lock-free here, so the store is safe in a handler.
    ProgressInfo::SetCanceled(true);
    // An install that has begun finishes or fails on its own, and one
    // that committed has put the export in place (the host makes one save,
    // so a commit is that save's): the line would tell of a removal that
    // may not come. A save looks at the cancel flag once its install
    // section is open, so one of the two sees the other (both flags are
    // sequentially consistent atomics).
    const bool installing = quillery::InstallSection::IsOpen() || quillery::InstallSection::Committed();
    const int n = installing ? 0 : g_line.length.load();
    if (n) {
      Say(g_line.text, static_cast<size_t>(n));
      g_lineSaid = 1;
    }
    return;
  }
  if (quillery::InstallSection::DeferStop()) return;
  HardStop(quillery::InstallSection::Committed());
}

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

}  // namespace

void InstallInterruptHandler() {
  g_stderrTty = isatty(STDERR_FILENO) ? 1 : 0;
  struct sigaction sa;
  memset(&sa, 0, sizeof(sa));
  sa.sa_handler = OnSignal;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  // One handler at a time, whichever thread the signal reaches.
  for (int s : kSignals) sigaddset(&sa.sa_mask, s);
  for (int s : kSignals) sigaction(s, &sa, nullptr);
  signal(SIGXFSZ, SIG_IGN);
  quillery::InstallSection::SetStopFunction(HardStop);
}

bool WasInterrupted() { return g_signals != 0; }

int InterruptedStatus() { return 128 + (g_firstSignal ? static_cast<int>(g_firstSignal) : SIGINT); }

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

namespace {

void Store(Line& to, const std::string& line) {
  // The handler reads the text only while the length is set.
  to.length.store(0);
  const size_t n = std::min(line.size(), sizeof(to.text) - 1);
  memcpy(to.text, line.data(), n);
  to.text[n] = '\n';
  if (n) to.length.store(static_cast<int>(n + 1));
}

}  // namespace

void SetInterruptLine(const std::string& line, const std::string& stopLine) {
  Store(g_line, line);
  Store(g_stopLine, stopLine);
}

bool InterruptLineSaid() { return g_lineSaid != 0; }

void SetInterruptLineSaid() { g_lineSaid = 1; }

}  // namespace quillery_host
