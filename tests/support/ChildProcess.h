#pragma once
// Another program run from a test: its own environment changes and working
// folder, standard input empty, standard output and error caught in files
// (so a chatty program never blocks on a full pipe), waited for against a
// deadline and killed if it outlives its object.
#include "tests/support/Wait.h"

#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace support {

// Changes to the environment: a value sets, nullopt removes.
using Env = std::map<std::string, std::optional<std::string>>;

struct ChildResult {
  int status = -1; // exit code, 128 + signal when killed, -1 when it did not start
  bool timedOut = false;
  std::string out;
  std::string err;
};

class ChildProcess {
public:
  // argv[0] is looked up on the PATH unless it holds a slash. `handOver`
  // gives the child our descriptor `first` as its number `second`.
  explicit ChildProcess(const std::vector<std::string> &argv, const Env &env = {},
                        const std::filesystem::path &cwd = {}, const std::vector<std::pair<int, int>> &handOver = {}) {
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
    for (const auto &[ours, theirs] : handOver)
      posix_spawn_file_actions_adddup2(&actions, ours, theirs);
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
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;
  ~ChildProcess() {
    if (Running()) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (int fd : {pidfd_, out_, err_})
      if (fd >= 0)
        close(fd);
  }

  bool Started() const { return pid_ > 0; }
  int StartError() const { return startError_; }
  // Readable once the process has ended.
  int EndFd() const { return pidfd_; }
  void Signal(int sig) const {
    if (Running())
      kill(pid_, sig);
  }

  // Whether it has ended, without waiting.
  bool Ended() {
    if (!Started() || status_ >= 0)
      return true;
    int st = 0;
    if (waitpid(pid_, &st, WNOHANG) != pid_)
      return false;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return true;
  }

  // What it wrote so far.
  std::string Out() const { return ReadAll(out_); }
  std::string Err() const { return ReadAll(err_); }

  // Waits for the end, at most `limit`; past it the process is killed.
  ChildResult Wait(std::chrono::milliseconds limit) {
    ChildResult r;
    if (!Started()) {
      r.err = std::string("could not start: ") + strerror(startError_);
      return r;
    }
    if (!Ended()) {
      pollfd p{pidfd_, POLLIN, 0};
      const bool ended = pidfd_ >= 0 ? poll(&p, 1, int(limit.count())) > 0 : WaitFor([this] { return Ended(); }, limit);
      if (!ended) {
        r.timedOut = true;
        kill(pid_, SIGKILL);
      }
      int st = 0;
      if (status_ < 0 && waitpid(pid_, &st, 0) == pid_)
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    r.status = status_;
    r.out = Out();
    r.err = Err();
    return r;
  }

private:
  bool Running() const { return pid_ > 0 && status_ < 0; }

  static int Scratch() {
    char name[] = "/tmp/zk-child-out-XXXXXX";
    const int fd = mkostemp(name, O_CLOEXEC);
    if (fd >= 0)
      unlink(name);
    return fd;
  }
  // Reads from the start without moving the offset the child writes at.
  static std::string ReadAll(int fd) {
    std::string text;
    char buf[4096];
    for (ssize_t n; fd >= 0 && (n = pread(fd, buf, sizeof buf, off_t(text.size()))) > 0;)
      text.append(buf, size_t(n));
    return text;
  }

  pid_t pid_ = -1;
  int pidfd_ = -1;
  int out_ = -1;
  int err_ = -1;
  int startError_ = 0;
  int status_ = -1;
};

// Runs a program to its end, killed past the limit.
inline ChildResult RunCommand(const std::vector<std::string> &argv, const Env &env = {},
                              const std::filesystem::path &cwd = {}, std::chrono::milliseconds limit = 300s) {
  ChildProcess p(argv, env, cwd);
  return p.Wait(limit);
}

} // namespace support
