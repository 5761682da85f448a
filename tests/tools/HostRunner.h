#pragma once

// Runs the built `quillery` program for the host's tests: arguments, extra
// environment, optional resource limit; collects its exit status, stdout and
// stderr (through files in the test's folder, so nothing can block).

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <link.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace quillery_test {

struct HostRun {
  int status = -1;  // exit status; 128 + signal when killed
  std::string out, err;
};

inline std::string HostProgram() { return std::string(QY_BINARY_DIR) + "/tools/quillery"; }

inline std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

struct HostCall {
  std::vector<std::string> args;
  std::vector<std::string> env;  // "NAME=value" added to a clean environment
  long fileSizeLimit = -1;       // RLIMIT_FSIZE in bytes (SIGXFSZ ignored), -1 = none
  long memoryLimit = -1;         // RLIMIT_AS in bytes, -1 = none
  bool brokenStdout = false;     // stdout is a pipe nobody reads (SIGPIPE ignored): writes fail
  std::string terminal;          // a pseudo-terminal to be the program's terminal (prompts)
  std::string cwd;               // the folder it runs in (default: the test's)
  std::string stdinFile;         // the file its standard input reads (default: /dev/null)
  int uid = -1;                  // run as this user and group (from root), -1 = as the test
};

// Starts the program; returns its pid. stdout and stderr go to the files.
inline pid_t StartHost(const HostCall& call, const std::string& outFile, const std::string& errFile) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  const int fo = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int fe = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int fi = open(call.stdinFile.empty() ? "/dev/null" : call.stdinFile.c_str(), O_RDONLY);
  if (fo < 0 || fe < 0 || fi < 0) _exit(126);
  dup2(fi, 0);
  dup2(fo, 1);
  dup2(fe, 2);
  setsid();  // no controlling terminal: password prompts cannot reach one
  if (!call.terminal.empty() && open(call.terminal.c_str(), O_RDWR) < 0) _exit(126);  // ... unless given
  if (!call.cwd.empty() && chdir(call.cwd.c_str()) != 0) _exit(126);
  if (call.uid >= 0 && (setgroups(0, nullptr) != 0 || setgid(call.uid) != 0 || setuid(call.uid) != 0)) _exit(126);
  int broken[2];
  if (call.brokenStdout && pipe(broken) == 0) {
    close(broken[0]);
    dup2(broken[1], 1);
    signal(SIGPIPE, SIG_IGN);
  }
  if (call.fileSizeLimit >= 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl;
    rl.rlim_cur = rl.rlim_max = static_cast<rlim_t>(call.fileSizeLimit);
    setrlimit(RLIMIT_FSIZE, &rl);
  }
  if (call.memoryLimit >= 0) {
    struct rlimit rl;
    rl.rlim_cur = rl.rlim_max = static_cast<rlim_t>(call.memoryLimit);
    setrlimit(RLIMIT_AS, &rl);
  }
  std::vector<std::string> env = {"PATH=/usr/bin:/bin", "LC_ALL=C"};
  if (const char* asan = getenv("ASAN_OPTIONS")) env.push_back(std::string("ASAN_OPTIONS=") + asan);
  if (const char* lsan = getenv("LSAN_OPTIONS")) env.push_back(std::string("LSAN_OPTIONS=") + lsan);
  if (const char* ubsan = getenv("UBSAN_OPTIONS")) env.push_back(std::string("UBSAN_OPTIONS=") + ubsan);
  if (const char* tsan = getenv("TSAN_OPTIONS")) env.push_back(std::string("TSAN_OPTIONS=") + tsan);
  env.insert(env.end(), call.env.begin(), call.env.end());
  const std::string prog = HostProgram();
  std::vector<char*> argv = {const_cast<char*>(prog.c_str())};
  for (const std::string& a : call.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  execve(prog.c_str(), argv.data(), envp.data());
  _exit(127);
}

inline int WaitHost(pid_t pid) {
  int st = 0;
  if (waitpid(pid, &st, 0) != pid) return -1;
  if (WIFEXITED(st)) return WEXITSTATUS(st);
  if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
  return -1;
}

inline HostRun RunHost(const std::string& dir, const HostCall& call) {
  const std::string o = dir + "/host.stdout", e = dir + "/host.stderr";
  HostRun r;
  r.status = WaitHost(StartHost(call, o, e));
  r.out = ReadAll(o);
  r.err = ReadAll(e);
  unlink(o.c_str());
  unlink(e.c_str());
  return r;
}

inline HostRun RunHost(const std::string& dir, std::vector<std::string> args) {
  HostCall c;
  c.args = std::move(args);
  return RunHost(dir, c);
}

// Waits until the program (not the child before its exec, which may share
// the test's descriptors) has path open, up to about 10 s; false if it never does.
inline bool WaitUntilOpen(pid_t pid, const std::string& path) {
  const std::string proc = "/proc/" + std::to_string(pid), fds = proc + "/fd/";
  char* real = realpath(HostProgram().c_str(), nullptr);
  const std::string program = real ? real : HostProgram();
  free(real);
  bool open = false;
  for (int i = 0; i < 20000 && !open; ++i, usleep(500)) {
    char exe[4096] = {};
    if (readlink((proc + "/exe").c_str(), exe, sizeof(exe) - 1) <= 0 || exe != program) continue;
    DIR* d = opendir(fds.c_str());
    for (const dirent* e = d ? readdir(d) : nullptr; e && !open; e = readdir(d)) {
      char to[4096] = {};
      open = readlink((fds + e->d_name).c_str(), to, sizeof(to) - 1) > 0 && to == path;
    }
    if (d) closedir(d);
  }
  return open;
}

// The system call the process is in, as /proc shows it ("1 0x1 ..." for a
// write to its standard output); empty when it cannot be read.
inline std::string SystemCall(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/syscall");
  std::string line;
  std::getline(f, line);
  return line;
}

// Waits until the process is in the system call whose line starts with
// prefix (SystemCall), up to about 10 s; false if it never is.
inline bool WaitUntilInCall(pid_t pid, const std::string& prefix) {
  for (int i = 0; i < 20000; ++i, usleep(500))
    if (SystemCall(pid).rfind(prefix, 0) == 0) return true;
  return false;
}

// One answer at a prompt: when the prompt's text shows (once more), reply
// is called (the program waits there meanwhile) and what it gives is typed.
struct PromptReply {
  std::string prompt;
  std::function<std::string()> reply;
};

// Runs the program on a pseudo-terminal of its own, answering the prompts
// in turn; stops answering when the program goes away.
inline HostRun RunAtPrompts(const std::string& dir, HostCall call, const std::vector<PromptReply>& replies) {
  HostRun r;
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return r;
  call.terminal = ptsname(master);
  const pid_t pid = StartHost(call, dir + "/host.stdout", dir + "/host.stderr");
  std::string screen;
  auto waitFor = [&](const std::string& text, int n) {  // false when the program went away
    for (char buf[256];;) {
      int seen = 0;
      for (size_t at = screen.find(text); at != std::string::npos; at = screen.find(text, at + 1)) ++seen;
      if (seen >= n) return true;
      pollfd p = {master, POLLIN, 0};
      if (poll(&p, 1, 60000) <= 0 || !(p.revents & POLLIN)) return false;  // 60 s: a hang, not a measure
      const ssize_t got = read(master, buf, sizeof(buf));
      if (got <= 0) return false;
      screen.append(buf, static_cast<size_t>(got));
    }
  };
  std::map<std::string, int> shown;
  for (const PromptReply& a : replies) {
    if (!waitFor(a.prompt, ++shown[a.prompt])) break;
    const std::string line = a.reply() + "\n";
    (void)!write(master, line.data(), line.size());
  }
  r.status = WaitHost(pid);
  r.out = ReadAll(dir + "/host.stdout");
  r.err = ReadAll(dir + "/host.stderr");
  close(master);
  return r;
}

inline bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

inline void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream f(path, std::ios::binary);
  f << data;
}

// args preceded by a password file (written into dir) for the encrypted
// documents read or written; unchanged when none of them is encrypted (the
// option would change nothing, which is wrong usage).
inline std::vector<std::string> WithPassword(const std::string& dir, std::vector<std::string> args) {
  WriteFile(dir + "/password", "correct horse\n");
  auto encrypted = [](const std::string& a) {
    return a.size() > 5 && (a.compare(a.size() - 4, 4, ".qye") == 0 || a.compare(a.size() - 5, 5, ".qyde") == 0);
  };
  for (const std::string& a : args)
    if (encrypted(a)) {
      args.insert(args.begin(), {"--password-file", dir + "/password"});
      break;
    }
  return args;
}

// Lines of a text (a last line without its line break counts).
inline int LineCount(const std::string& s) {
  int n = 0;
  for (char c : s) n += c == '\n';
  return n + (!s.empty() && s.back() != '\n');
}

#ifdef QY_SYNC_RECORDER
// The library list for LD_PRELOAD that loads the recorder of syncs and
// moves (tests/tools/SyncRecorder.c) into the program: after the sanitizer
// runtimes this test program runs with (the host is built alike, and
// AddressSanitizer's runtime must be the first library loaded).
inline std::string PreloadList() {
  std::string list;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        const std::string name = info->dlpi_name ? info->dlpi_name : "";
        const std::string base = name.substr(name.rfind('/') + 1);
        for (const char* runtime : {"libasan.so", "libtsan.so", "libubsan.so"})
          if (base.rfind(runtime, 0) == 0) *static_cast<std::string*>(data) += name + ":";
        return 0;
      },
      &list);
  return list + QY_SYNC_RECORDER;
}

// Starts the program (call's environment gets the recorder), which stops
// itself (SIGSTOP) once it has synced the file whose path ends in syncOf;
// returns its pid once it is stopped there, or -1 when it ended first.
inline pid_t StartHostStoppedAtSync(HostCall call, const std::string& syncOf, const std::string& outFile,
                                    const std::string& errFile) {
  call.env.push_back("LD_PRELOAD=" + PreloadList());
  call.env.push_back("QY_RAISE_AFTER=sync:" + syncOf);
  call.env.push_back("QY_RAISE_SIGNAL=" + std::to_string(SIGSTOP));
  const pid_t pid = StartHost(call, outFile, errFile);
  int status = 0;
  if (waitpid(pid, &status, WUNTRACED) != pid) return -1;
  return WIFSTOPPED(status) ? pid : -1;
}
#endif

}  // namespace quillery_test
