#pragma once

// The host's answers to the engine's questions, for a terminal.
//
// Passwords: for a file being read, the --password-file contents, else the
// environment variable QUILLERY_PASSWORD, else a prompt on the terminal
// without echo (none when there is no terminal). For a file being written,
// the --to-password-file contents first, then the same sources; a prompt
// asks twice, and asks again when the answers differ (three tries).
//
// Clones: the clone question is answered with the --clone-mode value, and
// otherwise with a mode that keeps clones as they are.
//
// The controller owns the password strings it hands out; they stay valid
// until the next GetPassword call or its destruction.

#include <string>

#include "model/GuiControllerBase.h"

namespace quillery_host {

class TerminalController : public GuiControllerBase {
 public:
  // The mode that converts no clone (any mode other than 0, 1, 2 and 4).
  static const int kKeepClones = 3;

  // Each password argument is null when its option was not given.
  TerminalController(const std::string* readPassword, const std::string* writePassword, int cloneMode);

  const char* GetPassword(const char* path, bool save) override;
  // Whether GetPassword has a source to take a password from (an option,
  // the environment or a terminal), asking nothing; sets Failure when not.
  bool CanGivePassword(bool save);
  // Why the last GetPassword gave no password, for the failure line.
  const std::string& Failure() const { return m_failure; }
  int ConvertClonesOnSave(const char* noteTitle) override;
  // Whether an export may replace files of an earlier one (--force); the
  // host refuses existing outputs before the save otherwise.
  bool AskFileOverwrite(const char*) override { return m_overwrite; }
  void SetOverwriteFiles(bool yes) { m_overwrite = yes; }
  // The frames template of an HTML export; null until the host found one.
  const char* GetHtmlFramesTemplateDir() override {
    return m_framesTemplate.empty() ? nullptr : m_framesTemplate.c_str();
  }
  void SetFramesTemplateDir(const std::string& dir) { m_framesTemplate = dir; }

 private:
  bool Prompt(const std::string& question, std::string& answer);

  bool m_hasRead, m_hasWrite;
  std::string m_read, m_write;
  int m_cloneMode;
  std::string m_answer;
  std::string m_failure;
  std::string m_framesTemplate;
  bool m_overwrite = false;
};

// Reads a password file ("-": the standard input): its contents without one
// trailing line break. Only a regular file is read (a device or a FIFO could
// block or never end), and at most kPasswordFileLimit bytes of it. 0, or the
// errno of ReadRegularFile (EINVAL: no regular file; EFBIG: too large).
const size_t kPasswordFileLimit = 64 * 1024;
int ReadPasswordFile(const std::string& path, std::string& password);

}  // namespace quillery_host
