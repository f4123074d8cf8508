// The rotorsim program: its options and a run driven from the outside.
#include "rotorsim/RotorSim.h"
#include "tests/rotorsim/FarEnd.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

using namespace rotorsim;
using namespace std::chrono_literals;
using farend::Line;
using support::ChildProcess;
using support::kDeadline;
using support::WaitFor;
namespace fs = std::filesystem;

namespace {

// The program running, its standard output caught.
class Program {
public:
  explicit Program(std::vector<std::string> args) : child_(WithPath(std::move(args))) {}

  // Standard output up to the program's end.
  std::string output() { return child_.Wait(kDeadline).out; }

  // The first line it printed, once it did.
  std::string firstLine() {
    std::string out;
    WaitFor([&] {
      out = child_.Out();
      return out.find('\n') != std::string::npos || child_.Ended();
    });
    return out.substr(0, out.find('\n'));
  }

  void signal(int sig) { child_.Signal(sig); }

  // The exit code, or the signal's when it did not end in time.
  int wait() { return child_.Wait(kDeadline).status; }

private:
  static std::vector<std::string> WithPath(std::vector<std::string> args) {
    args.insert(args.begin(), ROTORSIM_EXE);
    return args;
  }
  ChildProcess child_;
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
  for (std::string l; std::getline(in, l);)
    lines.push_back(l);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find("C<CR>  [43 0D]  poll"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("M090<CR>  [4D 30 39 30 0D]  move azimuth to 90"), std::string::npos) << lines[1];
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
      {{"--socket", "/tmp/u.sock"}, [](auto &o) { return o.socketPath == "/tmp/u.sock"; }},
      {{"--az-speed", "2.5"}, [](auto &o) { return o.unit.azSpeed == 2.5; }},
      {{"--el-speed=10"}, [](auto &o) { return o.unit.elSpeed == 10; }},
      {{"--start-az", "360"}, [](auto &o) { return o.unit.startAz == 360; }},
      {{"--start-el", "180"}, [](auto &o) { return o.unit.startEl == 180; }},
      {{"--az-range", "450"}, [](auto &o) { return o.unit.azRange == 450; }},
      {{"--start-az=450", "--az-range=450"}, [](auto &o) { return o.unit.startAz == 450 && o.unit.azRange == 450; }},
      {{"--reply-delay", "250"}, [](auto &o) { return o.unit.faults.replyDelay == 250ms; }},
      {{"--split", "1,4,4"},
       [](auto &o) {
         return o.unit.faults.splitSizes == std::vector<int>{1, 4, 4};
       }},
      {{"--split-pause", "0"}, [](auto &o) { return o.unit.faults.splitPause == 0ms; }},
      {{"--leading-cr"}, [](auto &o) { return o.unit.faults.leadingCr; }},
      {{"--garbage", "0.5"}, [](auto &o) { return o.unit.faults.garbagePerSecond == 0.5; }},
      {{"--seed", "42"}, [](auto &o) { return o.unit.faults.seed == 42u; }},
      {{"--mute"}, [](auto &o) { return o.unit.faults.mute; }},
      {{"--stall"}, [](auto &o) { return o.unit.faults.stall && o.unit.faults.stallAxis == StallAxis::Both; }},
      {{"--stall=el"}, [](auto &o) { return o.unit.faults.stall && o.unit.faults.stallAxis == StallAxis::Elevation; }},
      {{"--stall=az"}, [](auto &o) { return o.unit.faults.stall && o.unit.faults.stallAxis == StallAxis::Azimuth; }},
      {{"--no-answer"}, [](auto &o) { return o.unit.faults.mute; }},
      {{"--hangup-after", "3"}, [](auto &o) { return o.unit.faults.hangUpAfter == 3; }},
      {{"--delivery", "burst"}, [](auto &o) { return o.unit.wire.delivery == Delivery::Burst; }},
      {{"--delivery=chunked:16"},
       [](auto &o) { return o.unit.wire.delivery == Delivery::Chunked && o.unit.wire.chunkPeriod == 16ms; }},
      {{"--delivery", "line"}, [](auto &o) { return o.unit.wire.delivery == Delivery::Line; }},
      {{"--baud", "1200"}, [](auto &o) { return o.unit.wire.baud == 1200; }},
      {{"--dialect", "clone-lfcr"}, [](auto &o) { return o.unit.dialect == Dialect::CloneLfCr; }},
      {{"--dialect=az-only"}, [](auto &o) { return o.unit.dialect == Dialect::AzOnly; }},
      {{"--open-silence", "0"}, [](auto &o) { return o.unit.openSilence == 0ms; }},
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
  EXPECT_EQ(defaults.unit.azRange, 360);
  // A real line's pace unless asked otherwise.
  EXPECT_EQ(defaults.unit.wire.delivery, Delivery::Line);
  EXPECT_EQ(defaults.unit.wire.baud, 0);
  EXPECT_EQ(defaults.unit.dialect, Dialect::Report16);
  // Every dialect is listed, by the name the option takes.
  for (const DialectInfo &d : dialects()) {
    EXPECT_NE(usage.find(std::string("    ") + d.name + " "), std::string::npos) << d.name;
    EXPECT_EQ(dialectNamed(d.name), d.dialect);
  }
}

TEST(RotorArguments, BadValuesAreRefused) {
  const std::vector<std::vector<std::string>> cases = {
      {"--az-speed", "0"},
      {"--az-speed", "-1"},
      {"--az-speed", "6x"},
      {"--el-speed", "nan"},
      {"--az-speed"},
      {"--start-az", "361"},
      {"--start-el", "181"},
      {"--start-az", "-1"},
      {"--az-range", "400"},
      {"--az-range", "0"},
      {"--az-range"},
      {"--start-az", "400"},
      {"--az-range", "360", "--start-az", "451"},
      {"--reply-delay", "1.5"},
      {"--split", ""},
      {"--split", "1,,2"},
      {"--split", "0"},
      {"--split", "4,"},
      {"--garbage", "-3"},
      {"--hangup-after", "0"},
      {"--seed", "4294967296"},
      {"--link", ""},
      {"--mute=yes"},
      {"--stall=1"},
      {"--stall="},
      {"--stall=elevation"},
      {"--frobnicate"},
      {"COM1"},
      {"--delivery", "lines"},
      {"--delivery", "chunked"},
      {"--delivery", "chunked:0"},
      {"--delivery", "chunked:-5"},
      {"--baud", "0"},
      {"--baud", "96OO"},
      {"--baud"},
      {"--dialect", "report17"},
      {"--dialect"},
      {"--open-silence", "-1"},
  };
  for (const auto &args : cases) {
    ProgramOptions o;
    EXPECT_NE(parseArguments(args, o), "") << args[0] << (args.size() > 1 ? " " + args[1] : "");
  }
}
