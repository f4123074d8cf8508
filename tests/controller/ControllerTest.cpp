// The controller alone, in a process without any widget application,
// against the simulated unit: reports over every kind of line, the command
// rules, a device that goes and comes back, and a rotator that does not
// move.
#include "controller/ProcessSetup.h"
#include "controller/RotorController.h"
#include "rotorsim/RotorSim.h"
#include "tests/support/EventLoop.h"
#include "tests/support/Ports.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <chrono>
#include <filesystem>
#include <memory>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using rotorsim::Command;
using support::RunEventsFor;
using support::RunEventsUntil;
using support::Scaled;

QCoreApplication &App() {
  static int argc = 1;
  static char name[] = "controller_tests";
  static char *argv[] = {name, nullptr};
  // Never destroyed: Qt's own statics may already be gone at exit.
  static QCoreApplication *app = [] {
    auto *a = new QCoreApplication(argc, argv);
    static TControllerProcess process([](const std::exception &e) { ADD_FAILURE() << e.what(); });
    return a;
  }();
  return *app;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

class Controller : public ::testing::Test {
protected:
  void SetUp() override { App(); }
  void TearDown() override {
    controller.reset();
    units_.clear();
  }

  rotorsim::PtyServer &StartUnit(rotorsim::Options o) {
    rotorsim::ServerOptions so;
    so.linkPath = support::ComEntry(1).string();
    units_.push_back(std::make_unique<rotorsim::PtyServer>(o, so));
    return *units_.back();
  }
  void StartController(int pollMs, int pollMode = 1) {
    controller = std::make_unique<TRotorController>();
    auto *c = controller.get();
    c->PollMode = pollMode;
    QObject::connect(c, &TRotorController::Reported, [this](int p1, int p2) { reports.push_back({p1, p2}); });
    QObject::connect(c, &TRotorController::Traced, [this](const controller::Reply &r) { pieces.push_back(r); });
    QObject::connect(c, &TRotorController::Lost, [this] { ++lost; });
    QObject::connect(c, &TRotorController::Back, [this] { ++back; });
    QObject::connect(c, &TRotorController::StallStopped, [this] { ++stalls; });
    c->SetPortNumber(1);
    c->SetPollInterval(pollMs);
    c->OpenPort();
    ASSERT_TRUE(c->Port.Open());
    ASSERT_TRUE(c->PollTimer->Enabled());
  }
  bool ReportsReach(std::size_t n, std::chrono::milliseconds limit = Scaled(10000ms)) {
    return RunEventsUntil([&] { return reports.size() >= n; }, limit);
  }
  // Queues a command and returns how it went once done.
  void Queue(bool quiet, std::vector<uint8_t> bytes) {
    TRotorController::Command command;
    command.quiet = quiet;
    command.build = [bytes] { return bytes; };
    command.done = [this](TRotorController::Written w) {
      written.push_back(w);
      doneAt.push_back(Clock::now());
    };
    controller->Queue(std::move(command));
  }
  std::vector<rotorsim::CommandRecord> Of(const rotorsim::PtyServer &unit, Command kind) {
    std::vector<rotorsim::CommandRecord> out;
    for (const auto &c : unit.commands())
      if (c.command == kind)
        out.push_back(c);
    return out;
  }

  std::unique_ptr<TRotorController> controller;
  std::vector<std::pair<int, int>> reports;
  std::vector<controller::Reply> pieces;
  std::vector<TRotorController::Written> written;
  // When each was done: just after the poll was given back.
  std::vector<Clock::time_point> doneAt;
  int lost = 0, back = 0, stalls = 0;

private:
  std::vector<std::unique_ptr<rotorsim::PtyServer>> units_;
};

TEST_F(Controller, ReportsArriveWholeHoweverTheLineHandsThemOver) {
  using rotorsim::Delivery;
  using rotorsim::Dialect;
  struct Case {
    const char *name;
    Delivery delivery;
    std::vector<int> split;
    bool leadingCr;
    Dialect dialect = Dialect::Report16;
  } cases[] = {
      {"paced line", Delivery::Line, {}, false},
      {"one burst", Delivery::Burst, {}, false},
      {"latency-timer chunks", Delivery::Chunked, {}, false},
      {"first byte alone", Delivery::Burst, {1}, false},
      {"pieces of four", Delivery::Chunked, {4, 4, 4}, false},
      {"a CR before each", Delivery::Line, {}, true},
      {"sign form", Delivery::Line, {}, false, Dialect::Variant1},
      {"no padding", Delivery::Chunked, {}, false, Dialect::Hobby},
      {"LF CR line ends", Delivery::Burst, {}, false, Dialect::CloneLfCr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    rotorsim::Options o;
    o.startAz = 123;
    o.startEl = 45;
    o.wire.delivery = c.delivery;
    o.faults.splitSizes = c.split;
    o.faults.splitPause = 20ms;
    o.faults.leadingCr = c.leadingCr;
    o.dialect = c.dialect;
    StartUnit(o);
    reports.clear();
    pieces.clear();
    StartController(200, 2); // "C2": both axes from every dialect
    ASSERT_TRUE(ReportsReach(3));
    for (const auto &r : reports)
      EXPECT_EQ(r, std::make_pair(123, 45));
    EXPECT_EQ(controller->Position1, 123);
    EXPECT_TRUE(controller->Fresh());
    // A report was never cut into pieces of text.
    for (const controller::Reply &p : pieces)
      if (p.bytes.find("AZ=") != std::string::npos) {
        EXPECT_EQ(p.kind, controller::Reply::Kind::Report) << p.bytes;
      }
    controller.reset();
  }
}

TEST_F(Controller, QueuedCommandsHoldThePollKeepTheirQuietAndThePollComesAFullPeriodLater) {
  constexpr int period = 500;
  rotorsim::PtyServer &unit = StartUnit({});
  StartController(period);
  ASSERT_TRUE(ReportsReach(1));

  const auto t0 = Clock::now();
  Queue(true, MoveAxis1Command(90));
  Queue(true, StopAxis1Command());
  Queue(false, TurnCommand(TurnDirection::Cw));
  EXPECT_FALSE(controller->PollTimer->Enabled()) << "the poll is held while commands wait";
  EXPECT_EQ(controller->Queued(), 3u);
  // The loop runs on while they wait: nothing blocks.
  ASSERT_TRUE(RunEventsUntil([&] { return written.size() == 3; }));
  for (auto w : written)
    EXPECT_EQ(w, TRotorController::Written::Sent);
  EXPECT_EQ(controller->CommandsSent(), 3u);
  EXPECT_TRUE(controller->PollTimer->Enabled());

  ASSERT_TRUE(RunEventsUntil([&] { return Of(unit, Command::TurnCw).size() == 1; }));
  const auto move = Of(unit, Command::MoveAz).at(0);
  const auto stop = Of(unit, Command::StopAz).at(0);
  const auto turn = Of(unit, Command::TurnCw).at(0);
  EXPECT_EQ(move.bytes, "M090\r");
  // The quiet is kept before each move and stop; a turn goes at once.
  EXPECT_GE(Ms(move.first - t0), QuietMs);
  EXPECT_GE(Ms(stop.first - doneAt[0]), QuietMs - 1.0); // its quiet began as the move was done
  EXPECT_LT(Ms(turn.first - stop.last), QuietMs / 2.0);
  // No poll slipped in between, and the next comes a full period after the last command.
  for (const auto &c : unit.commands()) {
    if (c.command == Command::Poll) {
      EXPECT_TRUE(c.first < t0 || c.first > turn.last)
          << "a poll " << Ms(c.first - t0) << " ms after the first command";
    }
  }
  ASSERT_TRUE(RunEventsUntil(
      [&] {
        for (const auto &c : unit.commands())
          if (c.command == Command::Poll && c.first > turn.last)
            return true;
        return false;
      },
      Scaled(5000ms)));
  for (const auto &c : unit.commands())
    if (c.command == Command::Poll && c.first > turn.last) {
      // The period starts when the poll is given back, just before the
      // command is reported done.
      EXPECT_GE(Ms(c.first - doneAt.back()), period - 1.0);
      break;
    }
}

TEST_F(Controller, ALostDeviceIsSaidOnceAndTakenUpAgainWhenItIsBack) {
  rotorsim::Options o;
  o.startAz = 30;
  rotorsim::PtyServer &first = StartUnit(o);
  StartController(200);
  ASSERT_TRUE(ReportsReach(1));

  // Unplugged: the link stays behind, pointing at nothing (not at the old
  // name, which another test's next pseudo-terminal may get).
  const std::string device = first.devicePath();
  const fs::path link = support::ComEntry(1);
  first.hangUp();
  fs::remove(link);
  fs::create_symlink(device + "-unplugged", link);
  ASSERT_TRUE(RunEventsUntil([&] { return lost == 1; }));
  EXPECT_FALSE(controller->Port.Open());
  EXPECT_TRUE(controller->WaitingForDevice());
  EXPECT_FALSE(controller->Fresh()) << "no position while the device is away";
  EXPECT_FALSE(controller->PollTimer->Enabled());
  Queue(true, StopBothCommand());
  ASSERT_TRUE(RunEventsUntil([&] { return written.size() == 1; }));
  EXPECT_EQ(written[0], TRotorController::Written::PortClosed);
  EXPECT_FALSE(controller->PollTimer->Enabled()) << "a command while away does not start the poll";

  // Several tries fail quietly before the device is back.
  RunEventsFor(Scaled(std::chrono::milliseconds(TRotorController::ReconnectMs * 2)));
  EXPECT_EQ(lost, 1);
  EXPECT_EQ(back, 0);

  o.startAz = 200;
  StartUnit(o);
  const std::size_t before = reports.size();
  ASSERT_TRUE(RunEventsUntil([&] { return back == 1 && reports.size() > before; }, Scaled(15000ms)));
  EXPECT_EQ(reports.back().first, 200);
  EXPECT_TRUE(controller->Port.Open());
  EXPECT_FALSE(controller->WaitingForDevice());
  EXPECT_EQ(lost, 1);
}

TEST_F(Controller, AStalledRotatorIsStoppedOnceAndAMovingOneIsLeftAlone) {
  rotorsim::Options o;
  o.startAz = 10;
  o.faults.stall = true;
  rotorsim::PtyServer &unit = StartUnit(o);
  StartController(200);
  ASSERT_TRUE(ReportsReach(1));

  const auto t0 = Clock::now();
  Queue(true, MoveAxis1Command(90));
  ASSERT_TRUE(RunEventsUntil([&] { return stalls == 1; }, Scaled(30000ms)));
  const double after = Ms(Clock::now() - t0);
  const double limit = std::chrono::duration<double, std::milli>(StallGuard::Window).count();
  EXPECT_GE(after, limit);
  ASSERT_TRUE(RunEventsUntil([&] { return Of(unit, Command::StopAz).size() == 1; }));
  EXPECT_FALSE(controller->AzimuthGuard.Armed());
  EXPECT_TRUE(controller->PollTimer->Enabled()) << "polling goes on after the stop";
  // Once: the reports that follow do not stop it again.
  RunEventsFor(Scaled(1000ms));
  EXPECT_EQ(stalls, 1);
  EXPECT_EQ(Of(unit, Command::StopAz).size(), 1u);
}

} // namespace
