// The host follows the conventions of careful Unix tools: option syntax and
// help, exit statuses, no silent overwrite, options that cannot apply, clean
// output, one-line failures; and the README's examples run as written.

#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "HostRunner.h"
#include "common/TempDir.h"

using namespace quillery_test;

namespace {

bool Has(const std::string& text, const std::string& piece) { return text.find(piece) != std::string::npos; }
int Status(const TempDir& t, std::vector<std::string> args) { return RunHost(t.Path(), std::move(args)).status; }

TEST(HostConventions, OptionSyntaxHelpAndVersion) {
  TempDir t;
  ASSERT_EQ(Status(t, {"--seed=2", "generate", "30", t / "a.qyd"}), 0);
  ASSERT_EQ(Status(t, {"generate", "--seed", "2", "30", t / "b.qyd"}), 0);
  EXPECT_EQ(ReadAll(t / "a.qyd"), ReadAll(t / "b.qyd"));
  HostRun r = RunHost(t.Path(), {"generate", "--", "-5", t / "c.qyd"});  // an operand after "--"
  EXPECT_TRUE(r.status == 2 && Has(r.err, "note count")) << r.err;
  EXPECT_EQ(Status(t, {"--keep-id=yes", "convert", t / "a.qyd", t / "c.qyd"}), 2);
  r = RunHost(t.Path(), {"--version"});
  EXPECT_TRUE(r.status == 0 && r.out.rfind("quillery ", 0) == 0 && LineCount(r.out) == 1) << r.out;

  const HostRun help = RunHost(t.Path(), {"help", "convert"});
  EXPECT_EQ(help.status, 0);
  for (const char* piece : {"convert IN OUT", "--keep-id", "--force", "example: quillery", "exit status: 0 done"})
    EXPECT_TRUE(Has(help.out, piece)) << piece << " in\n" << help.out;
  EXPECT_FALSE(Has(help.out, "--seed")) << help.out;  // only this command's options
  EXPECT_EQ(RunHost(t.Path(), {"convert", "--help"}).out, help.out);
  EXPECT_EQ(Status(t, {"help", "frobnicate"}), 2);
  r = RunHost(t.Path(), {"--seed", "3", "info", t / "a.qyd"});  // refused, not ignored
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "--seed does not apply to info (see quillery help info)\n");
}

TEST(HostConventions, AnExistingOutputIsReplacedOnlyWithForce) {
  TempDir t;
  ASSERT_EQ(Status(t, {"generate", "40", t / "a.qyd"}), 0);
  const std::string original = ReadAll(t / "a.qyd");
  HostRun r = RunHost(t.Path(), {"--seed", "2", "generate", "5", t / "a.qyd"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "cannot save " + (t / "a.qyd") + ": it exists (use --force to replace it) (13)\n");
  EXPECT_TRUE(ReadAll(t / "a.qyd") == original);
  WriteFile(t / "b.qyz", "older");
  WriteFile(t / "c.qyd", "older");
  EXPECT_EQ(Status(t, {"convert", t / "a.qyd", t / "b.qyz"}), 1);
  EXPECT_EQ(Status(t, {"dump", t / "b.qyz", t / "c.qyd"}), 1);
  EXPECT_EQ(ReadAll(t / "b.qyz") + ReadAll(t / "c.qyd"), "olderolder");
  EXPECT_EQ(Status(t, {"convert", "-f", "--keep-id", t / "a.qyd", t / "b.qyz"}), 0);
  EXPECT_EQ(Status(t, {"dump", "--force", t / "b.qyz", t / "c.qyd"}), 0);
  EXPECT_TRUE(ReadAll(t / "c.qyd") == original);
  EXPECT_EQ(Status(t, {"convert", t / "a.qyd", t / "a.qyd"}), 0);  // onto itself: a new password
  // A symbolic link to a missing file is named as what it is; --force writes that file.
  ASSERT_EQ(symlink("new.qyd", (t / "link.qyd").c_str()), 0);
  r = RunHost(t.Path(), {"convert", t / "a.qyd", t / "link.qyd"});
  EXPECT_EQ(r.err, "cannot save " + (t / "link.qyd") +
                       ": it is a symbolic link to a missing file (use --force to write the file it points at) (13)\n");
  EXPECT_FALSE(Exists(t / "new.qyd"));
  EXPECT_EQ(Status(t, {"convert", "-f", t / "a.qyd", t / "link.qyd"}), 0);
  EXPECT_TRUE(Exists(t / "new.qyd"));
}

// compare follows cmp and diff: 0 equal, 1 different, 2 trouble.
TEST(HostConventions, ExitStatuses) {
  TempDir t;
  ASSERT_EQ(Status(t, {"generate", "30", t / "a.qyd"}), 0);
  ASSERT_EQ(Status(t, {"--seed", "2", "generate", "30", t / "b.qyd"}), 0);
  EXPECT_EQ(Status(t, {"compare", t / "a.qyd", t / "a.qyd"}), 0);
  EXPECT_EQ(Status(t, {"compare", t / "a.qyd", t / "b.qyd"}), 1);
  const HostRun r = RunHost(t.Path(), {"compare", t / "a.qyd", t / "missing.qyd"});
  EXPECT_TRUE(r.status == 2 && LineCount(r.err) == 1 && r.out.empty()) << r.err;
  EXPECT_EQ(Status(t, {"--password-file", t / "none", "compare", t / "a.qye", t / "a.qyd"}), 2);
  EXPECT_EQ(Status(t, {"--password-file", t / "none", "info", t / "a.qye"}), 1);
  EXPECT_EQ(Status(t, {"info"}), 2);
}

TEST(HostConventions, APasswordForATargetThatIsNotEncryptedIsAUsageError) {
  TempDir t;
  WriteFile(t / "pw", "secret\n");
  ASSERT_EQ(Status(t, {"generate", "20", t / "a.qyd"}), 0);
  for (const std::string target : {"b.qyz", "b.qydb"}) {
    const HostRun r = RunHost(t.Path(), {"--to-password-file", t / "pw", "convert", t / "a.qyd", t / target});
    EXPECT_TRUE(r.status == 2 && LineCount(r.err) == 1 && Has(r.err, ".qye, .qyde")) << r.err;
    EXPECT_FALSE(Exists(t / target));
  }
  EXPECT_EQ(Status(t, {"--to-password-file=" + (t / "pw"), "generate", "5", t / "c.qyd"}), 2);
  EXPECT_EQ(Status(t, {"--to-password-file", t / "pw", "convert", t / "a.qyd", t / "b.qye"}), 0);
}

TEST(HostConventions, DumpWritesOnlyTheKindItProduces) {
  TempDir t;
  WriteFile(t / "pw", "secret\n");
  ASSERT_EQ(Status(t, {"generate", "20", t / "a.qyd"}), 0);
  ASSERT_EQ(Status(t, {"convert", t / "a.qyd", t / "a.qyz"}), 0);
  ASSERT_EQ(Status(t, {"--password-file", t / "pw", "convert", t / "a.qyd", t / "a.qyde"}), 0);
  const std::vector<std::pair<std::string, std::string>> wrong = {
      {"a.qyz", "x.qydb"}, {"a.qyz", "x.qyz"}, {"a.qyz", "x.txt"}, {"a.qyde", "x.qyd"}, {"a.qyde", "x.qyde"}};
  for (const auto& c : wrong) {
    const HostRun r = RunHost(t.Path(), {"--password-file", t / "pw", "dump", t / c.first, t / c.second});
    EXPECT_TRUE(r.status == 2 && LineCount(r.err) == 1 && !Exists(t / c.second)) << c.second << ": " << r.err;
  }
  EXPECT_EQ(Status(t, {"dump", t / "a.qyz", t / "x.html"}), 0);
  EXPECT_EQ(Status(t, {"--password-file", t / "pw", "dump", t / "a.qyde", t / "x.qydb"}), 0);
  const HostRun r = RunHost(t.Path(), {"dump", t / "a.qyz", "-"});  // no file named "-"
  EXPECT_TRUE(r.status == 2 && Has(r.err, "standard input or output") && !Exists("-")) << r.err;
}

// No byte a terminal would act on, other than the line ends.
bool OnlyPlainLines(const std::string& s) {
  for (size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if ((c < 0x20 && c != '\n') || c == 0x7F || (c == 0xC2 && i + 1 < s.size() && (s[i + 1] & 0xE0) == 0x80))
      return false;
  }
  return true;
}

TEST(HostConventions, OutputIsEscapedCheckedAndQuietOnRequest) {
  TempDir t;
  HostRun r = RunHost(t.Path(), {"-q", "generate", "12", t / "a.qyd"});
  EXPECT_TRUE(r.status == 0 && r.out.empty()) << r.out;
  // A title and a file name holding escape sequences and a C1 control.
  std::string doc = ReadAll(t / "a.qyd");
  const size_t from = doc.find("<TITLE>") + 7;
  doc.replace(from, doc.find("</TITLE>") - from, "\x1b]0;owned\x07\x1b[31mred\xc2\x9bx");
  const std::string odd = t / "odd\x1b[2J.qyd";
  WriteFile(odd, doc);
  r = RunHost(t.Path(), {"info", odd});
  EXPECT_TRUE(OnlyPlainLines(r.out)) << r.out;
  EXPECT_TRUE(Has(r.out, "title:           \\x1b]0;owned\\a\\x1b[31mred\\u009bx\n")) << r.out;
  EXPECT_TRUE(Has(r.out, "odd\\x1b[2J.qyd")) << r.out;
  EXPECT_TRUE(OnlyPlainLines(RunHost(t.Path(), {"info", t / "gone\x1b[2J.qyd"}).err));
  r = RunHost(t.Path(), {"-q", "compare", t / "a.qyd", t / "a.qyd"});
  EXPECT_TRUE(r.status == 0 && r.out.empty()) << r.out;
  r = RunHost(t.Path(), {"-q", "compare", t / "a.qyd", odd});  // only the titles differ
  EXPECT_TRUE(r.status == 1 && r.out.empty()) << r.status << " " << r.out;

  // Output that cannot be written is a failure (as with "> /dev/full").
  HostCall call;
  call.brokenStdout = true;
  call.args = {"info", t / "a.qyd"};
  r = RunHost(t.Path(), call);
  EXPECT_TRUE(r.status == 1 && LineCount(r.err) == 1 && Has(r.err, "cannot write the output")) << r.err;
  call.args = {"compare", t / "a.qyd", t / "a.qyd"};
  EXPECT_EQ(RunHost(t.Path(), call).status, 2);
}

// convert onto an encrypted target on a pseudo-terminal, answering each
// new-password prompt once it shows.
HostRun ConvertAtThePrompt(TempDir& t, const std::string& target,
                           const std::vector<std::pair<std::string, std::string>>& answers) {
  HostCall call;
  call.args = {"convert", t / "a.qyd", t / target};
  std::vector<PromptReply> replies;
  for (const auto& a : answers) {
    replies.push_back({"New password for ", [a] { return a.first; }});
    replies.push_back({"Repeat the password: ", [a] { return a.second; }});
  }
  return RunAtPrompts(t.Path(), call, replies);
}

TEST(HostConventions, OneLinePerFailureAndThePromptAsksAgain) {
  TempDir t;
  ASSERT_EQ(Status(t, {"generate", "10", t / "a.qyd"}), 0);
  HostRun r = ConvertAtThePrompt(t, "b.qye", {{"one", "two"}, {"three", "four"}, {"pass", "pass"}});
  EXPECT_TRUE(r.status == 0 && r.err.empty()) << r.err;
  WriteFile(t / "pw", "pass");
  EXPECT_EQ(Status(t, {"--password-file", t / "pw", "compare", "--ignore-uid", t / "a.qyd", t / "b.qye"}), 0);
  r = ConvertAtThePrompt(t, "c.qye", {{"one", "two"}, {"three", "four"}, {"five", "six"}});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "cannot save " + (t / "c.qye") + ": the passwords differed 3 times (17)\n");
  EXPECT_FALSE(Exists(t / "c.qye"));

  // A number in parentheses names one cause, load or save; --help explains each.
  EXPECT_TRUE(Has(RunHost(t.Path(), {"info", t / "missing.qyd"}).err, "no such file (2)"));
  EXPECT_TRUE(Has(RunHost(t.Path(), {"convert", t / "a.qyd", t / "a.xyz"}).err, "unsupported file format (4)"));
  const std::string help = RunHost(t.Path(), {"--help"}).out;
  EXPECT_TRUE(Has(help, "  2   no such file\n") && Has(help, "  4   unsupported file format\n")) << help;
  EXPECT_EQ(help.find("  2 "), help.rfind("  2 "));
}

std::string Attachments(const std::string& text) {
  std::smatch m;
  return std::regex_search(text, m, std::regex("([0-9]+) attachments")) ? m[1].str() : "none";
}

TEST(HostConventions, GenerateInfoAndTheDemoAgree) {
  TempDir t;
  EXPECT_TRUE(Has(RunHost(t.Path(), {"generate", "1", t / "one.qyd"}).out, "1 note in 1 level, 1 picture,"));
  EXPECT_TRUE(Has(RunHost(t.Path(), {"info", t / "one.qyd"}).out, "notes:           1 in 1 level\n"));
  // Enough notes for clones of notes with attachments.
  const HostRun gen = RunHost(t.Path(), {"generate", "3000", t / "a.qyd"});
  ASSERT_EQ(Status(t, {"-q", "convert", t / "a.qyd", t / "a.qydb"}), 0);
  HostRun r;
  for (const std::string f : {"a.qyd", "a.qydb"}) {
    r = RunHost(t.Path(), {"info", t / f});
    EXPECT_EQ(Attachments(r.out), Attachments(gen.out)) << r.out << gen.out;
  }
  EXPECT_FALSE(Has(r.out, "generator:")) << r.out;  // a database records none

  const std::string demo = t / "demo";
  const std::string cmd = "QY_DEMO_NOTES=40 QY_DEMO_DIR='" + demo + "' bash '" + QY_SOURCE_DIR + "/tools/demo.sh' '" +
                          QY_BINARY_DIR + "' > '" + (t / "demo.txt") + "' 2>&1";
  ASSERT_EQ(system(cmd.c_str()), 0) << ReadAll(t / "demo.txt");
  EXPECT_TRUE(Has(ReadAll(t / "demo.txt"), "the files are in " + demo)) << ReadAll(t / "demo.txt");
  EXPECT_TRUE(Exists(demo + "/sample.qyd"));
}

// The README's examples, run as written and in order in an empty folder:
// the first generates the notebook the others work on.
TEST(HostConventions, ReadmeExamplesRunAsWritten) {
  TempDir t;
  std::istringstream readme(ReadAll(std::string(QY_SOURCE_DIR) + "/README.md"));
  int examples = 0;
  for (std::string line; std::getline(readme, line);) {
    if (line.rfind("    quillery ", 0) != 0) continue;
    std::istringstream words(line.substr(0, line.find("  #")));
    HostCall call;
    call.cwd = t.Path();
    std::string word;
    words >> word;  // the program's name
    while (words >> word) call.args.push_back(word);
    const HostRun r = RunHost(t.Path(), call);
    EXPECT_TRUE(r.status == 0 && r.err.empty()) << line << "\n" << r.err;
    if (call.args[0] == "compare") {
      EXPECT_EQ(r.out.rfind("equal: ", 0), 0u) << line << "\n" << r.out;
    }
    ++examples;
  }
  EXPECT_GE(examples, 5);
}

}  // namespace
