// The rotorsim program: its options and a run driven from the outside.
#include "rotorsim/RotorSim.h"
#include "tests/rotorsim/FarEnd.h"
#include "tests/support/TempDir.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

using namespace rotorsim;
using namespace std::chrono_literals;
using farend::Line;
using support::WaitFor;
namespace fs = std::filesystem;

extern char **environ;

namespace {

// The program running with its standard output on a pipe.
class Program {
public:
  explicit Program(std::vector<std::string> args) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    args.insert(args.begin(), ROTORSIM_EXE);
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int err = posix_spawn(&pid_, ROTORSIM_EXE, &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(fds[1]);
    out_ = fds[0];
    if (err != 0) throw std::runtime_error("spawn");
  }
  ~Program() {
    if (pid_ > 0 && status_ < 0) {
      ::kill(pid_, SIGKILL);
      int st;
      ::waitpid(pid_, &st, 0);
    }
    ::close(out_);
  }

  // Standard output up to its end or the deadline.
  std::string output() {
    std::string text;
    auto end = farend::Clock::now() + farend::kDeadline;
    char buf[4096];
    for (;;) {
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, farend::remainingMs(end)) <= 0) break;
      ssize_t n = ::read(out_, buf, sizeof buf);
      if (n <= 0) break;
      text.append(buf, size_t(n));
    }
    return text;
  }

  std::string firstLine() {
    std::string line;
    auto end = farend::Clock::now() + farend::kDeadline;
    char c;
    while (line.empty() || line.back() != '\n') {
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, farend::remainingMs(end)) <= 0) break;
      if (::read(out_, &c, 1) != 1) break;
      line += c;
    }
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return line;
  }

  void signal(int sig) { ::kill(pid_, sig); }

  // The exit code, or -1 if it did not end in time.
  int wait() {
    WaitFor([&] {
      int st;
      if (::waitpid(pid_, &st, WNOHANG) == pid_) status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128;
      return status_ >= 0;
    });
    return status_;
  }

private:
  pid_t pid_ = -1;
  int out_ = -1;
  int status_ = -1;
};

} // namespace

TEST(RotorProgram, RunsOnALinkUntilInterrupted) {
  support::TempDir dir("rotorsim-prog");
  fs::path link = dir / "x" / "COM1"; // the folder is made, and goes again
  fs::path log = dir / "rotor.log";
  Program prog({"--link", link.string(), "--log", log.string(), "--az-speed=60"});
  std::string device = prog.firstLine();
  ASSERT_EQ(device.rfind("/dev/pts/", 0), 0u) << device;
  EXPECT_EQ(fs::read_symlink(link), device);
  {
    Line line(link);
    line.send("C\r");
    EXPECT_EQ(line.read(16), "AZ=000  EL=000\r\n");
    // One write reaches the unit in one piece, so once the answer is here
    // the unfinished "W0" has been received too.
    line.send("M090\rW0");
    EXPECT_EQ(line.read(1), "\r");
  }
  prog.signal(SIGINT);
  EXPECT_EQ(prog.wait(), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
  EXPECT_FALSE(fs::exists(link.parent_path()));

  std::ifstream in(log);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find("C<CR>  [43 0D]  poll"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("M090<CR>  [4D 30 39 30 0D]  move azimuth to 90"), std::string::npos)
      << lines[1];
  EXPECT_NE(lines[2].find("W0  [57 30]  unfinished"), std::string::npos) << lines[2];
}

TEST(RotorProgram, EndsByItselfWhenItHangsUp) {
  support::TempDir dir("rotorsim-prog");
  fs::path link = dir / "COM1";
  Program prog({"--link", link.string(), "--hangup-after", "1"});
  ASSERT_FALSE(prog.firstLine().empty());
  Line line(link);
  line.send("S\r");
  EXPECT_EQ(line.read(1), "\r");
  EXPECT_TRUE(line.lost());
  EXPECT_EQ(prog.wait(), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

TEST(RotorProgram, HelpAndBadOptions) {
  Program help({"--help"});
  std::string text = help.output();
  EXPECT_EQ(help.wait(), 0);
  EXPECT_EQ(text, usageText());

  Program bad({"--az-speed", "fast"});
  EXPECT_EQ(bad.output(), "");
  EXPECT_EQ(bad.wait(), 2);
}

TEST(RotorArguments, EveryOptionIsParsedAndDocumented) {
  struct Case {
    std::vector<std::string> args;
    std::function<bool(const ProgramOptions &)> check;
  };
  const Case cases[] = {
      {{"--link", "COM1"}, [](auto &o) { return o.linkPath == "COM1"; }},
      {{"--log=/tmp/x.log"}, [](auto &o) { return o.logPath == "/tmp/x.log"; }},
      {{"--az-speed", "2.5"}, [](auto &o) { return o.unit.azSpeed == 2.5; }},
      {{"--el-speed=10"}, [](auto &o) { return o.unit.elSpeed == 10; }},
      {{"--start-az", "360"}, [](auto &o) { return o.unit.startAz == 360; }},
      {{"--start-el", "180"}, [](auto &o) { return o.unit.startEl == 180; }},
      {{"--reply-delay", "250"}, [](auto &o) { return o.unit.faults.replyDelay == 250ms; }},
      {{"--split", "1,4,4"},
       [](auto &o) { return o.unit.faults.splitSizes == std::vector<int>{1, 4, 4}; }},
      {{"--split-pause", "0"}, [](auto &o) { return o.unit.faults.splitPause == 0ms; }},
      {{"--leading-cr"}, [](auto &o) { return o.unit.faults.leadingCr; }},
      {{"--garbage", "0.5"}, [](auto &o) { return o.unit.faults.garbagePerSecond == 0.5; }},
      {{"--seed", "42"}, [](auto &o) { return o.unit.faults.seed == 42u; }},
      {{"--mute"}, [](auto &o) { return o.unit.faults.mute; }},
      {{"--stall"}, [](auto &o) { return o.unit.faults.stall; }},
      {{"--no-answer"}, [](auto &o) { return o.unit.faults.mute; }},
      {{"--hangup-after", "3"}, [](auto &o) { return o.unit.faults.hangUpAfter == 3; }},
      {{"--delivery", "burst"}, [](auto &o) { return o.unit.wire.delivery == Delivery::Burst; }},
      {{"--delivery=chunked:16"},
       [](auto &o) { return o.unit.wire.delivery == Delivery::Chunked && o.unit.wire.chunkPeriod == 16ms; }},
      {{"--delivery", "line"}, [](auto &o) { return o.unit.wire.delivery == Delivery::Line; }},
      {{"--baud", "1200"}, [](auto &o) { return o.unit.wire.baud == 1200; }},
      {{"--help"}, [](auto &o) { return o.help; }},
      {{"-h"}, [](auto &o) { return o.help; }},
  };
  const std::string usage = usageText();
  for (const auto &c : cases) {
    ProgramOptions o;
    EXPECT_EQ(parseArguments(c.args, o), "") << c.args[0];
    EXPECT_TRUE(c.check(o)) << c.args[0];
    std::string name = c.args[0].substr(0, c.args[0].find('='));
    EXPECT_NE(usage.find(name), std::string::npos) << name << " is not in the help text";
  }
  ProgramOptions defaults;
  EXPECT_EQ(parseArguments({}, defaults), "");
  EXPECT_EQ(defaults.unit.azSpeed, 6.0);
  EXPECT_EQ(defaults.unit.elSpeed, 3.0);
  // A real line's pace unless asked otherwise.
  EXPECT_EQ(defaults.unit.wire.delivery, Delivery::Line);
  EXPECT_EQ(defaults.unit.wire.baud, 0);
}

TEST(RotorArguments, BadValuesAreRefused) {
  const std::vector<std::vector<std::string>> cases = {
      {"--az-speed", "0"},     {"--az-speed", "-1"},   {"--az-speed", "6x"},
      {"--el-speed", "nan"},   {"--az-speed"},         {"--start-az", "361"},
      {"--start-el", "181"},   {"--start-az", "-1"},   {"--reply-delay", "1.5"},
      {"--split", ""},         {"--split", "1,,2"},    {"--split", "0"},
      {"--split", "4,"},       {"--garbage", "-3"},    {"--hangup-after", "0"},
      {"--seed", "4294967296"}, {"--link", ""},        {"--mute=yes"}, {"--stall=1"},
      {"--frobnicate"},        {"COM1"},               {"--delivery", "lines"},
      {"--delivery", "chunked"}, {"--delivery", "chunked:0"}, {"--delivery", "chunked:-5"},
      {"--baud", "0"},         {"--baud", "96OO"},     {"--baud"},
  };
  for (const auto &args : cases) {
    ProgramOptions o;
    EXPECT_NE(parseArguments(args, o), "") << args[0] << (args.size() > 1 ? " " + args[1] : "");
  }
}
