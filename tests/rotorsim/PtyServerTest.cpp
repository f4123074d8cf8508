// The simulated unit at the far end of a real pseudo-terminal.
#include "rotorsim/RotorSim.h"
#include "tests/rotorsim/FarEnd.h"
#include "tests/support/TempDir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <system_error>

using namespace rotorsim;
using namespace std::chrono_literals;
using farend::Line;
using support::WaitFor;
namespace fs = std::filesystem;

namespace {

std::shared_ptr<ManualClock> manualClock() { return std::make_shared<ManualClock>(); }

// Every answer in one write: for tests of what is said rather than its pace.
Options burst() {
  Options o;
  o.wire.delivery = Delivery::Burst;
  return o;
}

} // namespace

TEST(RotorPty, PollGivesExactlyTheReport) {
  Options o = burst();
  o.startAz = 123;
  o.startEl = 45;
  PtyServer unit(o);
  Line line(unit.devicePath());
  line.send("C\r");
  EXPECT_EQ(line.read(16), "AZ=123  EL=045\r\n");
  line.send("C2\r");
  EXPECT_EQ(line.read(16), "AZ=123  EL=045\r\n");
  ASSERT_TRUE(unit.settle());
  EXPECT_EQ(line.waiting(), 0);
}

TEST(RotorPty, MoveFollowsTheInjectedClock) {
  auto clock = manualClock();
  PtyServer unit(burst(), {}, clock);
  Line line(unit.devicePath());
  line.send("M090\r");
  EXPECT_EQ(line.read(1), "\r");
  clock->advance(14999ms);
  line.send("C\r");
  EXPECT_EQ(line.read(16), "AZ=089  EL=000\r\n");
  clock->advance(1ms);
  line.send("C\r");
  EXPECT_EQ(line.read(16), "AZ=090  EL=000\r\n");
  EXPECT_EQ(unit.position(), (Position{90, 0}));

  // A stop in mid-move holds.
  line.send("M000\r");
  EXPECT_EQ(line.read(1), "\r");
  clock->advance(5s);
  line.send("A\r");
  EXPECT_EQ(line.read(1), "\r");
  clock->advance(1h);
  line.send("C\r");
  EXPECT_EQ(line.read(16), "AZ=060  EL=000\r\n");
}

TEST(RotorPty, LinePacingFollowsTheRateTheUserSet) {
  struct Case {
    speed_t speed;
    int baud;
  };
  for (const Case c : {Case{B1200, 1200}, Case{B115200, 115200}}) {
    auto clock = manualClock();
    PtyServer unit(Options{}, {}, clock);
    Line line(unit.devicePath());
    termios tio{};
    ASSERT_EQ(::tcgetattr(line.fd(), &tio), 0);
    ::cfsetispeed(&tio, c.speed);
    ::cfsetospeed(&tio, c.speed);
    ASSERT_EQ(::tcsetattr(line.fd(), TCSANOW, &tio), 0);
    line.send("C\r");
    ASSERT_TRUE(WaitFor([&] { return unit.commands().size() == 1; }));
    const std::string report = "AZ=000  EL=000\r\n";
    const Duration step = LineFormat{c.baud, 10}.charTime();
    for (size_t k = 0; k < report.size(); ++k) {
      // Not a moment early: nothing until the byte has left the wire.
      clock->advance(step - 1ns);
      ASSERT_TRUE(unit.settle());
      ASSERT_EQ(line.waiting(), 0) << c.baud << " byte " << k;
      clock->advance(1ns);
      unit.wake();
      EXPECT_EQ(line.read(1), report.substr(k, 1)) << c.baud << " byte " << k;
    }
    ASSERT_TRUE(unit.settle()); // the last write is on record
    auto delivered = unit.delivered();
    ASSERT_EQ(delivered.size(), report.size());
    for (const auto &d : delivered)
      EXPECT_EQ(d.bytes.size(), 1u);
  }
}

TEST(RotorPty, RecordMatchesWhatWasSent) {
  auto clock = manualClock();
  std::mutex m;
  std::vector<CommandRecord> seen;
  ServerOptions so;
  so.onCommand = [&](const CommandRecord &rec) {
    std::lock_guard<std::mutex> lock(m);
    seen.push_back(rec);
  };
  PtyServer unit(burst(), so, clock);
  Line line(unit.devicePath());

  const std::string sent = std::string("C\r") + "W045 010\r" + "zz\x01\r" + "M1";
  clock->set(TimePoint(1s));
  line.send(sent.substr(0, 2));
  ASSERT_TRUE(WaitFor([&] { return unit.received().size() == 2; }));
  clock->set(TimePoint(2s));
  line.send(sent.substr(2));
  ASSERT_TRUE(WaitFor([&] { return unit.received().size() == sent.size(); }));

  auto received = unit.received();
  std::string bytes;
  for (const auto &r : received)
    bytes += char(r.byte);
  EXPECT_EQ(bytes, sent);
  EXPECT_EQ(received[1].time, TimePoint(1s));
  EXPECT_EQ(received[2].time, TimePoint(2s));
  EXPECT_EQ(received.back().time, TimePoint(2s));

  auto cmds = unit.commands();
  ASSERT_EQ(cmds.size(), 3u);
  EXPECT_EQ(cmds[0].command, Command::Poll);
  EXPECT_EQ(cmds[1].command, Command::MoveBoth);
  EXPECT_EQ(cmds[1].az, 45);
  EXPECT_EQ(cmds[1].el, 10);
  EXPECT_EQ(cmds[2].command, Command::Ignored);
  EXPECT_EQ(cmds[2].bytes, "zz\x01\r");
  ASSERT_TRUE(unit.pendingCommand());
  EXPECT_EQ(unit.pendingCommand()->bytes, "M1");
  // The callback runs after the record is taken: it may still be on its way.
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> lock(m);
    return seen.size() == 3u;
  }));
  std::lock_guard<std::mutex> lock(m);
  EXPECT_EQ(seen[1].bytes, "W045 010\r");
}

TEST(RotorPty, LinkPointsAtTheDeviceAndGoesAtTheEnd) {
  support::TempDir dir("rotorsim-test");
  fs::path link = dir / "COM1";
  {
    ServerOptions so;
    so.linkPath = link;
    PtyServer unit(Options{}, so);
    EXPECT_EQ(unit.linkPath(), link.string());
    EXPECT_EQ(fs::read_symlink(link), unit.devicePath());
    Line line(link);
    line.send("C\r");
    EXPECT_EQ(line.read(16).size(), 16u);
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));

  // A stale link from an earlier run is replaced.
  fs::create_symlink("/dev/nonexistent-pts", link);
  {
    ServerOptions so;
    so.linkPath = link;
    PtyServer unit(Options{}, so);
    EXPECT_EQ(fs::read_symlink(link), unit.devicePath());
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));

  // A link someone else put there meanwhile is theirs to remove.
  {
    ServerOptions so;
    so.linkPath = link;
    PtyServer unit(Options{}, so);
    fs::remove(link);
    fs::create_symlink("/dev/null", link);
  }
  EXPECT_EQ(fs::read_symlink(link), "/dev/null");
  fs::remove(link);

  // Anything but a link is never overwritten.
  std::ofstream(link) << "keep me";
  ServerOptions so;
  so.linkPath = link;
  EXPECT_THROW(PtyServer(Options{}, so), std::system_error);
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(link)));
}

TEST(RotorPty, HangUpIsSeenAsTheDeviceLost) {
  support::TempDir dir("rotorsim-test");
  ServerOptions so;
  so.linkPath = dir / "COM1";
  PtyServer unit(Options{}, so);
  Line line(unit.devicePath());
  line.send("C\r");
  ASSERT_EQ(line.read(16).size(), 16u);
  unit.hangUp();
  EXPECT_TRUE(unit.hungUp());
  EXPECT_TRUE(line.lost());
  EXPECT_FALSE(fs::exists(fs::symlink_status(so.linkPath)));
  unit.hangUp(); // again: nothing happens
  EXPECT_FALSE(unit.settle(100ms));
}

TEST(RotorPty, UserMayCloseAndReopenTheDevice) {
  PtyServer unit(Options{});
  for (int i = 0; i < 3; ++i) {
    Line line(unit.devicePath());
    line.send("C\r");
    EXPECT_EQ(line.read(16), "AZ=000  EL=000\r\n") << "open " << i;
  }
}

// The unit learns of every opening of its device, through the link too.
TEST(RotorPty, OpeningTheDeviceIsSeen) {
  support::TempDir dir("rotor-open");
  Options o = burst();
  o.dialect = Dialect::CloneCr;
  ServerOptions so;
  so.linkPath = (dir.Path() / "COM1").string();
  PtyServer unit(o, so);
  for (const std::string &path : {unit.devicePath(), so.linkPath}) {
    Line line(path);
    EXPECT_EQ(line.read(openBanner(Dialect::CloneCr).size()), openBanner(Dialect::CloneCr)) << path;
    line.send("C\r");
    EXPECT_EQ(line.read(11), "+0000+0000\r");
  }
}

TEST(RotorPty, AnswersPileUpWhileTheUserDoesNotRead) {
  // More than a pseudo-terminal buffers: the unit must neither block nor
  // lose answers, and must go on reading commands meanwhile.
  PtyServer unit(burst());
  Line line(unit.devicePath());
  const int polls = 1500;
  std::string burst;
  for (int i = 0; i < polls; ++i)
    burst += "C\r";
  line.send(burst);
  ASSERT_TRUE(WaitFor([&] { return unit.commandsHandled() == polls; }));
  std::string all = line.read(size_t(polls) * 16);
  ASSERT_EQ(all.size(), size_t(polls) * 16);
  for (int i = 0; i < polls; ++i)
    ASSERT_EQ(all.substr(size_t(i) * 16, 16), "AZ=000  EL=000\r\n");
}

// Each fault seen from the user's end.

TEST(RotorPtyFaults, ReplyDelay) {
  auto clock = manualClock();
  Options o = burst();
  o.faults.replyDelay = 300ms;
  PtyServer unit(o, {}, clock);
  Line line(unit.devicePath());
  line.send("C\r");
  ASSERT_TRUE(WaitFor([&] { return unit.commands().size() == 1; }));
  clock->advance(299ms);
  ASSERT_TRUE(unit.settle());
  EXPECT_EQ(line.waiting(), 0);
  clock->advance(1ms);
  unit.wake();
  EXPECT_EQ(line.read(16), "AZ=000  EL=000\r\n");
}

TEST(RotorPtyFaults, SplitReportWithLeadingCr) {
  auto clock = manualClock();
  Options o = burst();
  o.faults.splitSizes = {2};
  o.faults.splitPause = 100ms;
  o.faults.leadingCr = true;
  PtyServer unit(o, {}, clock);
  Line line(unit.devicePath());
  line.send("C\r");
  EXPECT_EQ(line.read(2), "\rA");
  ASSERT_TRUE(unit.settle());
  EXPECT_EQ(line.waiting(), 0);
  clock->advance(100ms);
  unit.wake();
  EXPECT_EQ(line.read(15), "Z=000  EL=000\r\n");
}

TEST(RotorPtyFaults, GarbageAtItsRate) {
  auto clock = manualClock();
  Options o = burst();
  o.faults.garbagePerSecond = 50;
  PtyServer unit(o, {}, clock);
  Line line(unit.devicePath());
  clock->advance(1s);
  unit.wake();
  EXPECT_EQ(line.read(50).size(), 50u);
  ASSERT_TRUE(unit.settle());
  EXPECT_EQ(line.waiting(), 0);
}

TEST(RotorPtyFaults, MuteUnitMovesSilently) {
  auto clock = manualClock();
  Options o = burst();
  o.faults.mute = true;
  PtyServer unit(o, {}, clock);
  Line line(unit.devicePath());
  line.send("M030\rC\r");
  ASSERT_TRUE(WaitFor([&] { return unit.commandsHandled() == 2; }));
  clock->advance(10s);
  ASSERT_TRUE(unit.settle());
  EXPECT_EQ(line.waiting(), 0);
  EXPECT_EQ(unit.position().az, 30);
}

TEST(RotorPtyFaults, HangUpAfterNCommands) {
  support::TempDir dir("rotorsim-test");
  ServerOptions so;
  so.linkPath = dir / "COM1";
  Options o = burst();
  o.faults.hangUpAfter = 2;
  PtyServer unit(o, so);
  Line line(unit.devicePath());
  line.send("C\r");
  EXPECT_EQ(line.read(16).size(), 16u);
  EXPECT_FALSE(unit.hungUp());
  line.send("A\r");
  EXPECT_EQ(line.read(1), "\r"); // the last answer still arrives
  EXPECT_TRUE(line.lost());
  EXPECT_TRUE(WaitFor([&] { return unit.hungUp(); }));
  EXPECT_FALSE(fs::exists(fs::symlink_status(so.linkPath)));
}

TEST(RotorPtyFaults, HangUpDoesNotWaitForeverForAReader) {
  Options o = burst();
  o.faults.hangUpAfter = 1;
  PtyServer unit(o);
  {
    Line line(unit.devicePath());
    line.send("C\r");
  }
  EXPECT_TRUE(WaitFor([&] { return unit.hungUp(); }));
}
