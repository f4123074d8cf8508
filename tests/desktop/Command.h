#pragma once
// Running the installed programs and the packaging tools from a test: a
// command with its own environment and working folder, its output caught,
// waited for against a deadline; and a temporary folder.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/TempDir.h"

extern char **environ;

namespace desktoptest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using support::TempDir;

// Changes to the environment: a value sets, nullopt removes.
using Env = std::map<std::string, std::optional<std::string>>;

struct Result {
  int status = -1; // exit code, 128 + signal when killed, -1 when it did not start
  bool timedOut = false;
  std::string out;
  std::string err;
};

inline std::string ReadAll(int fd) {
  std::string text;
  lseek(fd, 0, SEEK_SET);
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0)
    text.append(buf, static_cast<std::size_t>(n));
  return text;
}

inline std::string ReadFile(const fs::path &p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteFile(const fs::path &p, const std::string &content) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << content;
}

class Process {
public:
  Process(const std::vector<std::string> &argv, const Env &env = {}, const fs::path &cwd = {}) {
    out_ = Scratch();
    err_ = Scratch();
    std::vector<std::string> vars;
    for (char **e = environ; *e != nullptr; ++e) {
      const std::string var = *e;
      if (env.count(var.substr(0, var.find('='))) == 0)
        vars.push_back(var);
    }
    for (const auto &[name, value] : env)
      if (value)
        vars.push_back(name + "=" + *value);
    std::vector<char *> envp;
    for (std::string &v : vars)
      envp.push_back(v.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char *> argp;
    for (std::string &a : args)
      argp.push_back(a.data());
    argp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_, 1);
    posix_spawn_file_actions_adddup2(&actions, err_, 2);
    if (!cwd.empty())
      posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    const int rc = posix_spawnp(&pid_, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      pid_ = -1;
      startError_ = rc;
      return;
    }
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
  }
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;
  ~Process() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (int fd : {pidfd_, out_, err_})
      if (fd >= 0)
        close(fd);
  }

  bool Started() const { return pid_ > 0; }
  int StartError() const { return startError_; }
  pid_t Pid() const { return pid_; }
  // Readable once the process has ended.
  int EndFd() const { return pidfd_; }
  void Signal(int sig) const {
    if (pid_ > 0)
      kill(pid_, sig);
  }

  // Waits for the end, at most `limit`; past it the process is killed.
  Result Wait(std::chrono::milliseconds limit) {
    Result r;
    if (pid_ <= 0) {
      r.err = std::string("could not start: ") + strerror(startError_);
      return r;
    }
    pollfd p{pidfd_, POLLIN, 0};
    if (pidfd_ >= 0 && poll(&p, 1, static_cast<int>(limit.count())) == 0) {
      r.timedOut = true;
      kill(pid_, SIGKILL);
    }
    int st = 0;
    waitpid(pid_, &st, 0);
    pid_ = -1;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    r.out = ReadAll(out_);
    r.err = ReadAll(err_);
    return r;
  }

private:
  static int Scratch() {
    char name[] = "/tmp/zk-desktop-out-XXXXXX";
    const int fd = mkostemp(name, O_CLOEXEC);
    if (fd >= 0)
      unlink(name);
    return fd;
  }

  pid_t pid_ = -1;
  int pidfd_ = -1;
  int out_ = -1;
  int err_ = -1;
  int startError_ = 0;
};

inline Result RunCommand(const std::vector<std::string> &argv, const Env &env = {}, const fs::path &cwd = {},
                  std::chrono::milliseconds limit = 300s) {
  Process p(argv, env, cwd);
  return p.Wait(limit);
}

// Whether a program of that name is on the PATH.
inline bool OnPath(const std::string &name) {
  const char *path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    const std::size_t end = std::min(dirs.find(':', start), dirs.size());
    const fs::path candidate = fs::path(dirs.substr(start, end - start)) / name;
    if (access(candidate.c_str(), X_OK) == 0)
      return true;
    start = end + 1;
  }
  return false;
}

// Waits until `done` holds for the folder's contents, each change in the
// folder waking the check; false when the deadline passes or `endFd` (a
// process's end) comes first.
template <typename F> bool WaitForFolder(const fs::path &dir, F done, int endFd, std::chrono::milliseconds limit) {
  const int in = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (in < 0)
    return done();
  inotify_add_watch(in, dir.c_str(), IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MODIFY);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  bool ok = done();
  while (!ok) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
      break;
    pollfd p[2] = {{in, POLLIN, 0}, {endFd, POLLIN, 0}};
    if (poll(p, endFd >= 0 ? 2 : 1, static_cast<int>(left.count())) <= 0)
      continue;
    char buf[4096];
    while (read(in, buf, sizeof buf) > 0) {
    }
    ok = done();
    if (!ok && (p[1].revents & POLLIN))
      break;
  }
  close(in);
  return ok;
}

inline std::vector<int> IconSizes() { return {16, 22, 24, 32, 48, 64, 128, 256}; }

// What the installation holds, relative to its prefix, and nothing else.
inline std::vector<std::string> InstalledFiles() {
  std::vector<std::string> files = {"bin/rotorsim",
                                    "bin/zelkor",
                                    "bin/zelkor-launch",
                                    "share/applications/zelkor.desktop",
                                    "share/icons/hicolor/scalable/apps/zelkor.svg",
                                    "share/zelkor/Windrose_AZ.jpg",
                                    "share/zelkor/Zelkor_M_language.csv"};
  for (int size : IconSizes())
    files.push_back("share/icons/hicolor/" + std::to_string(size) + "x" + std::to_string(size) + "/apps/zelkor.png");
  std::sort(files.begin(), files.end());
  return files;
}

} // namespace desktoptest
