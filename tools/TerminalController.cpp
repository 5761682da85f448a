#include "TerminalController.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "Interrupt.h"
#include "OutputText.h"
#include "base/FileUtil.h"

namespace quillery_host {

TerminalController::TerminalController(const std::string* readPassword, const std::string* writePassword,
                                       int cloneMode)
    : m_hasRead(readPassword != nullptr),
      m_hasWrite(writePassword != nullptr),
      m_read(readPassword ? *readPassword : std::string()),
      m_write(writePassword ? *writePassword : std::string()),
      m_cloneMode(cloneMode) {}

namespace {

const int kTries = 3;

// A word to the person at the prompt (not a failure: the prompt goes on).
void TellTerminal(const std::string& text) {
  const int fd = open("/dev/tty", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  (void)!write(fd, text.data(), text.size());
  close(fd);
}

}  // namespace

namespace {
const char kNoPassword[] = "no password given (use --password-file, QUILLERY_PASSWORD or a terminal)";
}  // namespace

bool TerminalController::CanGivePassword(bool save) {
  if ((save && m_hasWrite) || m_hasRead || getenv("QUILLERY_PASSWORD")) return true;
  const int fd = open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (fd >= 0) {
    close(fd);
    return true;
  }
  m_failure = kNoPassword;
  return false;
}

const char* TerminalController::GetPassword(const char* path, bool save) {
  m_failure = kNoPassword;
  if (save && m_hasWrite) return m_write.c_str();
  if (m_hasRead) return m_read.c_str();
  if (const char* env = getenv("QUILLERY_PASSWORD")) {
    m_answer = env;
    return m_answer.c_str();
  }
  const std::string name = path ? Printable(path) : "the document";
  if (!save) return Prompt("Password for " + name + ": ", m_answer) ? m_answer.c_str() : nullptr;
  // A typing slip in the repeated password asks again rather than ending
  // the run.
  for (int tries = 1;; ++tries) {
    std::string again;
    if (!Prompt("New password for " + name + ": ", m_answer) || !Prompt("Repeat the password: ", again)) return nullptr;
    if (again == m_answer) return m_answer.c_str();
    if (tries == kTries) break;
    TellTerminal("The passwords differ; try again.\n");
  }
  m_failure = "the passwords differed " + std::to_string(kTries) + " times";
  return nullptr;
}

int TerminalController::ConvertClonesOnSave(const char*) { return m_cloneMode >= 0 ? m_cloneMode : kKeepClones; }

bool TerminalController::Prompt(const std::string& question, std::string& answer) {
  answer.clear();
  const int fd = open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  struct termios old;
  const bool isTty = tcgetattr(fd, &old) == 0;
  if (isTty) {
    SetPromptTerminal(fd, &old);
    struct termios quiet = old;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  (void)!write(fd, question.data(), question.size());
  bool ok = false;
  char c;
  for (;;) {
    const ssize_t n = read(fd, &c, 1);
    if (n <= 0) break;
    if (c == '\n' || c == '\r') {
      ok = true;
      break;
    }
    answer += c;
  }
  if (isTty) {
    tcsetattr(fd, TCSAFLUSH, &old);
    SetPromptTerminal(-1, nullptr);
  }
  (void)!write(fd, "\n", 1);
  close(fd);
  return ok;
}

int ReadPasswordFile(const std::string& path, std::string& password) {
  // "-" is the standard input (a password piped in, never on the command line).
  const int err = path == "-" ? ReadAtMost(STDIN_FILENO, kPasswordFileLimit, password)
                              : ReadRegularFile(path, kPasswordFileLimit, password);
  if (err) {
    password.clear();
    return err;
  }
  if (!password.empty() && password.back() == '\n') password.pop_back();
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return 0;
}

}  // namespace quillery_host
