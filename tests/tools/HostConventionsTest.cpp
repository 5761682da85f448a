// The host follows the conventions of careful Unix tools: option syntax and
// help, exit statuses, no silent overwrite, options that cannot apply,
// clean output and one-line failures; and the README's examples run as
// written.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "HostRunner.h"
#include "common/TempDir.h"

using namespace quillery_test;

namespace {

bool Has(const std::string& text, const std::string& piece) { return text.find(piece) != std::string::npos; }

TEST(HostConventions, OptionSyntaxHelpAndVersion) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"--seed=2", "generate", "30", t / "a.qyd"}).status, 0);
  ASSERT_EQ(RunHost(t.Path(), {"generate", "--seed", "2", "30", t / "b.qyd"}).status, 0);
  EXPECT_EQ(ReadAll(t / "a.qyd"), ReadAll(t / "b.qyd"));
  // After "--" a word starting with '-' is an operand, not an option.
  HostRun r = RunHost(t.Path(), {"generate", "--", "-5", t / "c.qyd"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(Has(r.err, "note count")) << r.err;
  EXPECT_EQ(RunHost(t.Path(), {"--keep-id=yes", "convert", t / "a.qyd", t / "c.qyd"}).status, 2);

  r = RunHost(t.Path(), {"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("quillery ", 0), 0u) << r.out;
  EXPECT_EQ(LineCount(r.out), 1);

  const HostRun help = RunHost(t.Path(), {"help", "convert"});
  EXPECT_EQ(help.status, 0);
  for (const char* piece : {"convert IN OUT", "--keep-id", "--force", "example: quillery", "exit status: 0 done"})
    EXPECT_TRUE(Has(help.out, piece)) << piece << " in\n" << help.out;
  EXPECT_FALSE(Has(help.out, "--seed")) << help.out;  // only this command's options
  r = RunHost(t.Path(), {"convert", "--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, help.out);
  EXPECT_EQ(RunHost(t.Path(), {"help", "frobnicate"}).status, 2);

  // An option the command does not use is refused, not ignored.
  r = RunHost(t.Path(), {"--seed", "3", "info", t / "a.qyd"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(LineCount(r.err), 1) << r.err;
  EXPECT_TRUE(Has(r.err, "--seed does not apply to info")) << r.err;
}

}  // namespace

namespace {

TEST(HostConventions, AnExistingOutputIsReplacedOnlyWithForce) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"generate", "40", t / "a.qyd"}).status, 0);
  const std::string original = ReadAll(t / "a.qyd");
  HostRun r = RunHost(t.Path(), {"--seed", "2", "generate", "5", t / "a.qyd"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, (t / "a.qyd") + " exists (use --force to replace it)\n");
  EXPECT_EQ(ReadAll(t / "a.qyd"), original);

  WriteFile(t / "b.qyz", "older");
  WriteFile(t / "c.qyd", "older");
  EXPECT_EQ(RunHost(t.Path(), {"convert", t / "a.qyd", t / "b.qyz"}).status, 1);
  EXPECT_EQ(RunHost(t.Path(), {"dump", t / "b.qyz", t / "c.qyd"}).status, 1);
  EXPECT_EQ(ReadAll(t / "b.qyz"), "older");
  EXPECT_EQ(ReadAll(t / "c.qyd"), "older");
  EXPECT_EQ(RunHost(t.Path(), {"convert", "-f", "--keep-id", t / "a.qyd", t / "b.qyz"}).status, 0);
  EXPECT_EQ(RunHost(t.Path(), {"dump", "--force", t / "b.qyz", t / "c.qyd"}).status, 0);
  EXPECT_TRUE(ReadAll(t / "c.qyd") == original);
  // Converting a file onto itself is how its password is changed.
  r = RunHost(t.Path(), {"convert", t / "a.qyd", t / "a.qyd"});
  EXPECT_EQ(r.status, 0) << r.err;
}

}  // namespace

namespace {

// compare follows cmp and diff: 0 equal, 1 different, 2 trouble.
TEST(HostConventions, ExitStatuses) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"generate", "30", t / "a.qyd"}).status, 0);
  ASSERT_EQ(RunHost(t.Path(), {"--seed", "2", "generate", "30", t / "b.qyd"}).status, 0);
  EXPECT_EQ(RunHost(t.Path(), {"compare", t / "a.qyd", t / "a.qyd"}).status, 0);
  EXPECT_EQ(RunHost(t.Path(), {"compare", t / "a.qyd", t / "b.qyd"}).status, 1);
  HostRun r = RunHost(t.Path(), {"compare", t / "a.qyd", t / "missing.qyd"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(LineCount(r.err), 1) << r.err;
  EXPECT_TRUE(r.out.empty()) << r.out;
  WriteFile(t / "junk.qyz", "not a container");
  EXPECT_EQ(RunHost(t.Path(), {"compare", t / "junk.qyz", t / "a.qyd"}).status, 2);
  EXPECT_EQ(RunHost(t.Path(), {"--password-file", t / "none", "compare", t / "a.qyd", t / "a.qyd"}).status, 2);
  EXPECT_EQ(RunHost(t.Path(), {"compare", t / "a.qyd"}).status, 2);
  // The other commands: 1 failed, 2 wrong usage.
  EXPECT_EQ(RunHost(t.Path(), {"info", t / "missing.qyd"}).status, 1);
  EXPECT_EQ(RunHost(t.Path(), {"--password-file", t / "none", "info", t / "a.qyd"}).status, 1);
  EXPECT_EQ(RunHost(t.Path(), {"info"}).status, 2);
}

}  // namespace

namespace {

TEST(HostConventions, APasswordForATargetThatIsNotEncryptedIsAUsageError) {
  TempDir t;
  WriteFile(t / "pw", "secret\n");
  ASSERT_EQ(RunHost(t.Path(), {"generate", "20", t / "a.qyd"}).status, 0);
  for (const std::string target : {"b.qyz", "b.qydb"}) {
    HostRun r = RunHost(t.Path(), {"--to-password-file", t / "pw", "convert", t / "a.qyd", t / target});
    EXPECT_EQ(r.status, 2) << target;
    EXPECT_EQ(LineCount(r.err), 1) << r.err;
    EXPECT_TRUE(Has(r.err, ".qye, .qyde")) << r.err;
    EXPECT_FALSE(Exists(t / target));
  }
  EXPECT_EQ(RunHost(t.Path(), {"--to-password-file=" + (t / "pw"), "generate", "5", t / "c.qyd"}).status, 2);
  HostRun r = RunHost(t.Path(), {"--to-password-file", t / "pw", "convert", t / "a.qyd", t / "b.qye"});
  EXPECT_EQ(r.status, 0) << r.err;
  r = RunHost(t.Path(), {"--password-file", t / "pw", "info", t / "b.qye"});
  EXPECT_TRUE(Has(r.out, "encrypted:       yes")) << r.out << r.err;
}

}  // namespace

namespace {

TEST(HostConventions, DumpWritesOnlyTheKindItProduces) {
  TempDir t;
  WriteFile(t / "pw", "secret\n");
  ASSERT_EQ(RunHost(t.Path(), {"generate", "20", t / "a.qyd"}).status, 0);
  ASSERT_EQ(RunHost(t.Path(), {"--password-file", t / "pw", "convert", t / "a.qyd", t / "a.qyz"}).status, 0);
  ASSERT_EQ(RunHost(t.Path(), {"--password-file", t / "pw", "convert", t / "a.qyd", t / "a.qyde"}).status, 0);
  for (const std::vector<std::string>& c : std::vector<std::vector<std::string>>{
           {"a.qyz", "x.qydb"}, {"a.qyz", "x.qyz"}, {"a.qyz", "x.txt"}, {"a.qyde", "x.qyd"}, {"a.qyde", "x.qyde"}}) {
    HostRun r = RunHost(t.Path(), {"--password-file", t / "pw", "dump", t / c[0], t / c[1]});
    EXPECT_EQ(r.status, 2) << c[0] << " -> " << c[1];
    EXPECT_EQ(LineCount(r.err), 1) << r.err;
    EXPECT_FALSE(Exists(t / c[1])) << c[1];
  }
  EXPECT_EQ(RunHost(t.Path(), {"dump", t / "a.qyz", t / "x.html"}).status, 0);
  EXPECT_EQ(RunHost(t.Path(), {"--password-file", t / "pw", "dump", t / "a.qyde", t / "x.qydb"}).status, 0);
  // Standard output is no file: refused, and no file named "-" appears.
  HostRun r = RunHost(t.Path(), {"dump", t / "a.qyz", "-"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(Has(r.err, "standard input or output")) << r.err;
  EXPECT_FALSE(Exists("-"));
}

}  // namespace

namespace {

// No byte a terminal would act on, other than the line ends.
bool OnlyPlainLines(const std::string& s) {
  for (size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if ((c < 0x20 && c != '\n') || c == 0x7F) return false;
    if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) < 0xA0) return false;
  }
  return true;
}

TEST(HostConventions, OutputIsEscapedCheckedAndQuietOnRequest) {
  TempDir t;
  HostRun r = RunHost(t.Path(), {"-q", "generate", "12", t / "a.qyd"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out.empty()) << r.out;
  // A title and a file name holding escape sequences and a C1 control.
  std::string doc = ReadAll(t / "a.qyd");
  const size_t from = doc.find("<TITLE>") + 7;
  doc.replace(from, doc.find("</TITLE>") - from, "\x1b]0;owned\x07\x1b[31mred\xc2\x9bx");
  const std::string odd = t / "odd\x1b[2J.qyd";
  WriteFile(odd, doc);
  r = RunHost(t.Path(), {"info", odd});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(OnlyPlainLines(r.out)) << r.out;
  EXPECT_TRUE(Has(r.out, "title:           \\x1b]0;owned\\a\\x1b[31mred\\u009bx\n")) << r.out;
  EXPECT_TRUE(Has(r.out, "odd\\x1b[2J.qyd")) << r.out;
  r = RunHost(t.Path(), {"info", t / "gone\x1b[2J.qyd"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(OnlyPlainLines(r.err)) << r.err;

  r = RunHost(t.Path(), {"-q", "compare", t / "a.qyd", t / "a.qyd"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out.empty()) << r.out;
  EXPECT_EQ(RunHost(t.Path(), {"--quiet", "compare", t / "a.qyd", odd}).status, 1);

  // Output that cannot be written is a failure (as with "> /dev/full").
  HostCall call;
  call.brokenStdout = true;
  call.args = {"info", t / "a.qyd"};
  r = RunHost(t.Path(), call);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(LineCount(r.err), 1) << r.err;
  EXPECT_TRUE(Has(r.err, "cannot write the output")) << r.err;
  call.args = {"compare", t / "a.qyd", t / "a.qyd"};
  EXPECT_EQ(RunHost(t.Path(), call).status, 2);
}

}  // namespace

namespace {

// Plays the person at the terminal: waits for each prompt, then answers it.
class FakeTerminal {
 public:
  FakeTerminal() {
    m_master = posix_openpt(O_RDWR | O_NOCTTY);
    if (m_master >= 0 && grantpt(m_master) == 0 && unlockpt(m_master) == 0) m_slave = ptsname(m_master);
  }
  ~FakeTerminal() {
    if (m_master >= 0) close(m_master);
  }
  const std::string& Slave() const { return m_slave; }
  // Reads until the screen shows `text` for the n-th time; false when the
  // program went away first (or after a generous safety limit).
  bool WaitFor(const std::string& text, int n) {
    for (int rounds = 0; rounds < 600; ++rounds) {
      int seen = 0;
      for (size_t at = m_screen.find(text); at != std::string::npos; at = m_screen.find(text, at + 1)) ++seen;
      if (seen >= n) return true;
      pollfd p = {m_master, POLLIN, 0};
      if (poll(&p, 1, 100) < 0) return false;
      char buf[256];
      if (p.revents & POLLIN) {
        const ssize_t got = read(m_master, buf, sizeof(buf));
        if (got <= 0) return false;
        m_screen.append(buf, static_cast<size_t>(got));
      } else if (p.revents & (POLLHUP | POLLERR)) {
        return false;
      }
    }
    return false;
  }
  void Type(const std::string& line) { (void)!write(m_master, (line + "\n").data(), line.size() + 1); }

 private:
  int m_master = -1;
  std::string m_slave;
  std::string m_screen;
};

// Runs `convert` onto an encrypted target, answering the new-password
// prompt with the pairs; returns the result.
HostRun ConvertAtThePrompt(TempDir& t, const std::string& target,
                           const std::vector<std::pair<std::string, std::string>>& answers) {
  FakeTerminal term;
  HostCall call;
  call.terminal = term.Slave();
  call.args = {"convert", t / "a.qyd", t / target};
  const pid_t pid = StartHost(call, t / "out.txt", t / "err.txt");
  int round = 0;
  for (const auto& a : answers) {
    ++round;
    if (!term.WaitFor("New password for ", round)) break;
    term.Type(a.first);
    if (!term.WaitFor("Repeat the password: ", round)) break;
    term.Type(a.second);
  }
  HostRun r;
  r.status = WaitHost(pid);
  r.out = ReadAll(t / "out.txt");
  r.err = ReadAll(t / "err.txt");
  return r;
}

TEST(HostConventions, OneLinePerFailureAndThePromptAsksAgain) {
  TempDir t;
  ASSERT_EQ(RunHost(t.Path(), {"generate", "10", t / "a.qyd"}).status, 0);
  // Two slips, then the same password twice: the file is written.
  HostRun r = ConvertAtThePrompt(t, "b.qye", {{"one", "two"}, {"three", "four"}, {"pass", "pass"}});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.err.empty()) << r.err;
  WriteFile(t / "pw", "pass");
  EXPECT_EQ(RunHost(t.Path(), {"--password-file", t / "pw", "compare", "--ignore-uid", t / "a.qyd", t / "b.qye"}).status,
            0);
  // Three slips: one line, naming the real cause.
  r = ConvertAtThePrompt(t, "c.qye", {{"one", "two"}, {"three", "four"}, {"five", "six"}});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "cannot save " + (t / "c.qye") + ": the passwords differed 3 times\n");
  EXPECT_FALSE(Exists(t / "c.qye"));

  // A number in parentheses names one cause, load or save, and --help
  // explains each.
  r = RunHost(t.Path(), {"info", t / "missing.qyd"});
  EXPECT_TRUE(Has(r.err, "no such file (2)")) << r.err;
  r = RunHost(t.Path(), {"convert", t / "a.qyd", t / "a.xyz"});
  EXPECT_TRUE(Has(r.err, "unsupported file format (4)")) << r.err;
  const std::string help = RunHost(t.Path(), {"--help"}).out;
  EXPECT_TRUE(Has(help, "  2   no such file\n")) << help;
  EXPECT_TRUE(Has(help, "  4   unsupported file format\n")) << help;
  EXPECT_EQ(help.find("  2 "), help.rfind("  2 "));
}

}  // namespace

namespace {

// The number before " noun" in text, or -1.
long CountBefore(const std::string& text, const std::string& noun) {
  const size_t at = text.find(" " + noun);
  if (at == std::string::npos) return -1;
  size_t from = at;
  while (from > 0 && isdigit(static_cast<unsigned char>(text[from - 1]))) --from;
  return from == at ? -1 : std::stol(text.substr(from, at - from));
}

TEST(HostConventions, GenerateInfoAndTheDemoAgree) {
  TempDir t;
  HostRun r = RunHost(t.Path(), {"generate", "1", t / "one.qyd"});
  EXPECT_TRUE(Has(r.out, "1 note in 1 level, 1 picture,")) << r.out;
  EXPECT_TRUE(Has(RunHost(t.Path(), {"info", t / "one.qyd"}).out, "notes:           1 in 1 level\n"));

  // Enough notes for clones of notes with attachments.
  const HostRun gen = RunHost(t.Path(), {"generate", "3000", t / "a.qyd"});
  ASSERT_EQ(gen.status, 0) << gen.err;
  ASSERT_EQ(RunHost(t.Path(), {"-q", "convert", t / "a.qyd", t / "a.qydb"}).status, 0);
  for (const std::string f : {"a.qyd", "a.qydb"}) {
    r = RunHost(t.Path(), {"info", t / f});
    EXPECT_EQ(CountBefore(r.out, "attachments"), CountBefore(gen.out, "attachments")) << f << ":\n" << r.out << gen.out;
    EXPECT_EQ(CountBefore(r.out, "pictures"), CountBefore(gen.out, "pictures")) << f;
  }
  EXPECT_FALSE(Has(r.out, "generator:")) << r.out;  // a database records none

  // The demo keeps its files in a folder it names.
  const std::string demo = t / "demo";
  const std::string cmd = "QY_DEMO_NOTES=40 QY_DEMO_DIR='" + demo + "' bash '" + QY_SOURCE_DIR + "/tools/demo.sh' '" +
                          QY_BINARY_DIR + "' > '" + (t / "demo.txt") + "' 2>&1";
  ASSERT_EQ(system(cmd.c_str()), 0) << ReadAll(t / "demo.txt");
  EXPECT_TRUE(Has(ReadAll(t / "demo.txt"), "the files are in " + demo)) << ReadAll(t / "demo.txt");
  EXPECT_TRUE(Exists(demo + "/sample.qyd"));
}

}  // namespace

namespace {

// The README's examples, run as written, one after the other, in an empty
// folder: the first of them generates the notebook the others work on.
TEST(HostConventions, ReadmeExamplesRunAsWritten) {
  TempDir t;
  std::istringstream readme(ReadAll(std::string(QY_SOURCE_DIR) + "/README.md"));
  std::string line;
  int examples = 0;
  while (std::getline(readme, line)) {
    if (line.rfind("    quillery ", 0) != 0) continue;
    const size_t comment = line.find("  #");
    std::istringstream words(line.substr(0, comment));
    HostCall call;
    call.cwd = t.Path();
    std::string word;
    words >> word;  // the program's name
    while (words >> word) call.args.push_back(word);
    const HostRun r = RunHost(t.Path(), call);
    EXPECT_EQ(r.status, 0) << line << "\n" << r.err;
    EXPECT_TRUE(r.err.empty()) << line << "\n" << r.err;
    if (call.args[0] == "compare") {
      EXPECT_EQ(r.out.rfind("equal: ", 0), 0u) << line << "\n" << r.out;
    }
    ++examples;
  }
  EXPECT_GE(examples, 5);
}

}  // namespace
