#pragma once
// Running the installed programs and the packaging tools from a test: what
// the installation holds, and waiting for a folder to fill.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "tests/support/ChildProcess.h"
#include "tests/support/Files.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

namespace desktoptest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using support::ChildProcess;
using support::ChildResult;
using support::Env;
using support::ReadFile;
using support::RunCommand;
using support::TempDir;
using support::WriteFile;

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
template <typename F>
bool WaitForFolder(const fs::path &dir, F done, int endFd, std::chrono::milliseconds limit) {
  const int in = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (in < 0)
    return done();
  inotify_add_watch(in, dir.c_str(), IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MODIFY);
  bool ended = false;
  support::WaitUntil([&] { return ended || done(); }, limit,
                     [&] {
                       pollfd p[2] = {{in, POLLIN, 0}, {endFd, POLLIN, 0}};
                       if (poll(p, endFd >= 0 ? 2 : 1, 100) <= 0)
                         return;
                       char buf[4096];
                       while (read(in, buf, sizeof buf) > 0) {
                       }
                       ended = p[1].revents & POLLIN;
                     });
  close(in);
  return done();
}

inline std::vector<int> IconSizes() { return {16, 22, 24, 32, 48, 64, 128, 256}; }

// What the installation holds, relative to its prefix, and nothing else.
inline std::vector<std::string> InstalledFiles() {
  std::vector<std::string> files = {"bin/rotorsim",
                                    "bin/zelkor",
                                    "bin/zelkor-launch",
                                    "bin/zelkord",
                                    "lib/systemd/user/zelkord.service",
                                    "share/man/man1/zelkord.1.gz",
                                    "share/applications/zelkor.desktop",
                                    "share/doc/zelkor/changelog.gz",
                                    "share/doc/zelkor/copyright",
                                    "share/icons/hicolor/scalable/apps/zelkor.svg",
                                    "share/man/man1/rotorsim.1.gz",
                                    "share/man/man1/zelkor-launch.1.gz",
                                    "share/man/man1/zelkor.1.gz",
                                    "share/metainfo/org.zelkor.zelkor.metainfo.xml",
                                    "share/zelkor/Windrose_AZ.jpg",
                                    "share/zelkor/Zelkor_M_language.csv"};
  for (int size : IconSizes())
    files.push_back("share/icons/hicolor/" + std::to_string(size) + "x" + std::to_string(size) + "/apps/zelkor.png");
  std::sort(files.begin(), files.end());
  return files;
}

} // namespace desktoptest
