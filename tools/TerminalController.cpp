#include "TerminalController.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "Interrupt.h"

namespace quillery_host {

TerminalController::TerminalController(const std::string* readPassword, const std::string* writePassword,
                                       int cloneMode)
    : m_hasRead(readPassword != nullptr),
      m_hasWrite(writePassword != nullptr),
      m_read(readPassword ? *readPassword : std::string()),
      m_write(writePassword ? *writePassword : std::string()),
      m_cloneMode(cloneMode) {}

const char* TerminalController::GetPassword(const char* path, bool save) {
  if (save && m_hasWrite) return m_write.c_str();
  if (m_hasRead) return m_read.c_str();
  if (const char* env = getenv("QUILLERY_PASSWORD")) {
    m_answer = env;
    return m_answer.c_str();
  }
  const std::string name = path ? path : "the document";
  if (!save) return Prompt("Password for " + name + ": ", m_answer) ? m_answer.c_str() : nullptr;
  std::string again;
  if (!Prompt("New password for " + name + ": ", m_answer) || !Prompt("Repeat the password: ", again)) return nullptr;
  if (again != m_answer) {
    fprintf(stderr, "the passwords differ\n");
    return nullptr;
  }
  return m_answer.c_str();
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

bool ReadPasswordFile(const std::string& path, std::string& password) {
  password.clear();
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return false;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) password.append(buf, n);
  const bool ok = !ferror(f);
  const int err = errno;
  fclose(f);
  if (!ok) {
    errno = err;
    return false;
  }
  if (!password.empty() && password.back() == '\n') password.pop_back();
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return true;
}

}  // namespace quillery_host
