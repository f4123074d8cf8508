// The controller alone, in a process without any widget application,
// against the simulated unit: reports over every kind of line, the command
// rules, a device that goes and comes back, and a rotator that does not
// move.
#include "controller/ProcessSetup.h"
#include "controller/RotorBackend.h"
#include "controller/RotorController.h"
#include "netctl/Session.h"
#include "rotorsim/RotorSim.h"
#include "tests/support/EventLoop.h"
#include "tests/support/Ports.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <chrono>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <filesystem>
#include <string>
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
    QObject::connect(c, &TRotorController::ElevationStallStopped, [this] { ++elevationStalls; });
    c->OnSend = [this](const std::vector<uint8_t> &bytes) { sends.push_back({bytes, Clock::now()}); };
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
  // Everything the controller handed to the port, when it did.
  std::vector<std::pair<std::vector<uint8_t>, Clock::time_point>> sends;
  int lost = 0, back = 0, stalls = 0, elevationStalls = 0;

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
  // The turn's "at once" is timed where the controller sends: where the
  // unit reads it, a busy machine adds its own delay.
  auto sentAt = [&](const std::string &b) {
    for (const auto &[bytes, at] : sends)
      if (std::string(bytes.begin(), bytes.end()) == b)
        return at;
    ADD_FAILURE() << "never sent: " << b;
    return Clock::time_point{};
  };
  EXPECT_LT(Ms(sentAt(turn.bytes) - sentAt(stop.bytes)), QuietMs / 2.0);
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

// A network client as the server runs one: lines in, whole replies out.
struct NetClient {
  explicit NetClient(netctl::Backend &backend)
      : session(backend, {[this](const std::string &r) { replies.push_back(r); }, [] {}, [this] { Pump(); }}) {}
  void Send(const std::string &line) {
    pending += line + "\n";
    Pump();
  }
  void Pump() { pending.erase(0, session.Receive(pending)); }
  bool Idle() const { return pending.empty() && !session.Busy(); }

  netctl::Session session;
  std::string pending;
  std::vector<std::string> replies;
};

// The longest time between two polls the controller sent after `from`:
// timed where the period is kept, not where the bytes reach the unit.
double LongestPollGap(const std::vector<std::pair<std::vector<uint8_t>, Clock::time_point>> &sends,
                      Clock::time_point from) {
  double longest = 0;
  std::optional<Clock::time_point> last;
  for (const auto &[bytes, at] : sends) {
    if (bytes != PollCommand(1) || at < from)
      continue;
    if (last)
      longest = std::max(longest, Ms(at - *last));
    last = at;
  }
  return longest;
}

struct PassCase {
  const char *name;
  int range;
  int period;  // poll, ms
  int every;   // a new target, ms
  int seconds; // the pass
  int startAz; // the pass runs from here, a degree a second
  rotorsim::Delivery delivery;
};

// Each pass a test of its own, so the long ones can run side by side.
class TrackerPass : public Controller, public testing::WithParamInterface<PassCase> {};

TEST_P(TrackerPass, ATrackerThroughAWholePassNeverFreezesThePosition) {
  const PassCase &c = GetParam();
  SCOPED_TRACE(c.name);
  // A sanitizer looks for faults in the same paths, not at the clock: a
  // third of the pass is enough there.
#if defined(ZK_SANITIZED)
  const int seconds = c.seconds / 3;
#else
  const int seconds = c.seconds;
#endif
  rotorsim::Options o;
  o.azRange = c.range;
  o.startAz = c.startAz;
  o.startEl = 10;
  o.wire.delivery = c.delivery;
  rotorsim::PtyServer &unit = StartUnit(o);
  reports.clear();
  StartController(c.period);
  controller->AzimuthRange = c.range;
  ASSERT_TRUE(ReportsReach(1));
  RotorBackend backend(*controller, "test");
  NetClient tracker(backend), logger(backend);

  const auto t0 = Clock::now();
  const auto end = t0 + std::chrono::seconds(seconds);
  auto nextTarget = t0;
  auto nextRead = t0;
  int targets = 0, reads = 0;
  std::size_t reportsAtStart = reports.size();
  while (Clock::now() < end) {
    const auto now = Clock::now();
    if (now >= nextTarget && tracker.Idle()) {
      // Along the pass as the tracker sees it: whole turns folded to 0..359.
      const double az = std::fmod(c.startAz + std::chrono::duration<double>(now - t0).count(), 360.0);
      tracker.Send("P " + std::to_string(az) + " 10");
      ++targets;
      nextTarget += std::chrono::milliseconds(c.every);
    }
    if (now >= nextRead && logger.Idle()) {
      logger.Send("p");
      ++reads;
      nextRead += 250ms;
    }
    RunEventsFor(5ms);
  }
  ASSERT_TRUE(RunEventsUntil([&] { return tracker.Idle() && logger.Idle(); }));

  int failed = 0;
  for (const std::string &r : logger.replies)
    failed += r.rfind("RPRT", 0) == 0;
  for (const std::string &r : tracker.replies)
    EXPECT_EQ(r, "RPRT 0\n");
  const double gap = LongestPollGap(sends, t0);
  std::printf("[ pass     ] %s: %d targets, %d reads, %d failed, longest time without a poll %.0f ms\n", c.name,
              targets, reads, failed, gap);
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(logger.replies.size(), std::size_t(reads));
  // At least once a period, timed where it is kept; a loaded machine may
  // run the timer late.
  EXPECT_LE(gap, c.period + Ms(Scaled(250ms)));
  // What a window shows follows: reports all through the pass.
  EXPECT_GE(reports.size() - reportsAtStart, std::size_t(seconds * 1000 / c.period - 2));
  // The unit followed without a swing: every move went the short way,
  // within a few degrees of where it was.
  int worst = 0;
  for (const auto &m : Of(unit, Command::MoveBoth))
    worst = std::max(worst, std::abs(m.az - (c.startAz + int(Ms(m.first - t0) / 1000))));
  EXPECT_LE(worst, 3) << "a move far from the pass";
  controller.reset();
}

INSTANTIATE_TEST_SUITE_P(Passes, TrackerPass,
                         testing::Values(PassCase{"a target a second, 360", 360, 1000, 1000, 60, 100,
                                                  rotorsim::Delivery::Line},
                                         PassCase{"five targets a second across north, 450", 450, 1000, 200, 30, 350,
                                                  rotorsim::Delivery::Chunked}));

TEST_F(Controller, TargetsGoTheShortWayNonsenseIsRefusedAndNothingIsSentTwice) {
  struct Case {
    int range, startAz;
    const char *line;
    const char *wire; // the move that goes out, or "" for none
    const char *reply;
  } cases[] = {
      {360, 350, "P 360 0", "W360 000\r", "RPRT 0\n"},
      {360, 350, "P 0 0", "W360 000\r", "RPRT 0\n"},
      {360, 360, "P 0 0", "", "RPRT 0\n"}, // where it already points
      {360, 0, "P 360 0", "", "RPRT 0\n"},
      {360, 10, "P 360 0", "W000 000\r", "RPRT 0\n"},
      {360, 10, "P -10 5", "W350 005\r", "RPRT 0\n"},
      {360, 200, "P -170 0", "W190 000\r", "RPRT 0\n"},
      {450, 390, "P 40 0", "W400 000\r", "RPRT 0\n"},
      {450, 350, "P 10 0", "W370 000\r", "RPRT 0\n"},
      {450, 350, "P 400 10", "W400 010\r", "RPRT 0\n"},
      {450, 100, "P 400 10", "W040 010\r", "RPRT 0\n"},
      {450, 420, "P 60 0", "", "RPRT 0\n"},
      {360, 100, "P 400 10", "", "RPRT -1\n"},
      {450, 100, "P 500 0", "", "RPRT -1\n"},
      {450, 100, "P 1e3 10", "", "RPRT -1\n"},
      {360, 100, "P 10 200", "", "RPRT -1\n"},
      {360, 100, "P -181 0", "", "RPRT -1\n"},
      {360, 100, "P nan 0", "", "RPRT -1\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.line << " at " << c.startAz << " of " << c.range);
    rotorsim::Options o;
    o.azRange = c.range;
    o.startAz = c.startAz;
    o.azSpeed = 60;
    o.wire.delivery = rotorsim::Delivery::Burst;
    rotorsim::PtyServer &unit = StartUnit(o);
    reports.clear();
    StartController(200);
    controller->AzimuthRange = c.range;
    ASSERT_TRUE(ReportsReach(1));
    RotorBackend backend(*controller, "test");
    NetClient client(backend);
    client.Send(c.line);
    ASSERT_TRUE(RunEventsUntil([&] { return client.Idle(); }));
    EXPECT_EQ(client.replies, std::vector<std::string>{c.reply});
    RunEventsFor(Scaled(300ms));
    std::vector<std::string> moves;
    for (const auto &m : unit.commands())
      if (m.command != Command::Poll)
        moves.push_back(m.bytes);
    EXPECT_EQ(moves, std::vector<std::string>(c.wire[0] ? 1 : 0, c.wire));
    if (c.wire[0]) {
      // The path: straight from where it was to the target, never past it.
      const int target = std::stoi(std::string(c.wire + 1, 3));
      ASSERT_TRUE(RunEventsUntil([&] { return !reports.empty() && reports.back().first == target; }));
      for (const auto &r : reports)
        EXPECT_TRUE(r.first >= std::min(c.startAz, target) && r.first <= std::max(c.startAz, target)) << r.first;
    }
    client.replies.clear();
    client.Send("\\dump_state");
    ASSERT_TRUE(RunEventsUntil([&] { return client.Idle(); }));
    EXPECT_NE(client.replies.at(0).find("max_az=" + std::to_string(c.range) + ".000000\n"), std::string::npos);
    controller.reset();
  }
}

TEST_F(Controller, TheFirstReadWaitsForTheFirstReportAtMostTwoPeriods) {
  constexpr int period = 500;
  for (bool mute : {false, true}) {
    SCOPED_TRACE(mute ? "a unit that never answers" : "a unit that answers");
    rotorsim::Options o;
    o.startAz = 77;
    o.startEl = 12;
    o.faults.mute = mute;
    StartUnit(o);
    StartController(period);
    RotorBackend backend(*controller, "test");
    NetClient client(backend);
    const auto t0 = Clock::now();
    client.Send("p");
    client.Send("+p");
    ASSERT_TRUE(RunEventsUntil([&] { return client.Idle(); }));
    const double waited = Ms(Clock::now() - t0);
    if (mute) {
      EXPECT_EQ(client.replies, (std::vector<std::string>{"RPRT -5\n", "get_pos:\nRPRT -5\n"}));
      EXPECT_GE(waited, RotorBackend::FirstReadPeriods * period - 50.0);
    } else {
      EXPECT_EQ(client.replies.at(0), "77.00\n12.00\n");
      EXPECT_EQ(client.replies.at(1), "get_pos:\nAzimuth: 77.00\nElevation: 12.00\nRPRT 0\n");
    }
    EXPECT_LE(waited, RotorBackend::FirstReadPeriods * period + Ms(Scaled(300ms)));
    controller.reset();
  }
}

TEST(ShortWay, TheNearestValueWithinTheRangeThatPointsTheSameWay) {
  struct Case {
    int target, from, range, sent;
  } cases[] = {
      {360, 350, 360, 360}, {0, 350, 360, 360},   {0, 10, 360, 0},    {360, 10, 360, 0},  {180, 0, 360, 180},
      {-10, 10, 360, 350},  {-180, 0, 360, 180},  {359, 0, 360, 359}, {1, 360, 360, 1},   {40, 400, 450, 400},
      {40, 200, 450, 40},   {90, 300, 450, 450},  {90, 0, 450, 90},   {91, 450, 450, 91}, {400, 100, 450, 40},
      {450, 350, 450, 450}, {-90, 400, 450, 270}, {0, 225, 450, 360}, {0, 180, 450, 0},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(ShortWayAzimuth(c.target, c.from, c.range), c.sent)
        << c.target << " from " << c.from << " within " << c.range;
  }
  EXPECT_EQ(AzimuthApart(360, 0), 0);
  EXPECT_EQ(AzimuthApart(-10, 350), 0);
  EXPECT_EQ(AzimuthApart(1, 359), 2);
  EXPECT_EQ(AzimuthApart(400, 220), 180);
}

TEST_F(Controller, EachCommandArmsTheGuardOfTheAxesItMoves) {
  struct Case {
    std::vector<uint8_t> bytes;
    bool azimuth;
    bool elevation;
  } cases[] = {
      {MoveAxis1Command(300), true, false},
      {MoveAxis2Command(170), false, true},
      {MoveBothCommand(300, 170), true, true},
      {TurnCommand(TurnDirection::Cw), true, false},
      {TurnCommand(TurnDirection::Ccw), true, false},
      {TurnCommand(TurnDirection::Up), false, true},
      {TurnCommand(TurnDirection::Down), false, true},
  };
  rotorsim::Options o;
  o.startAz = 100;
  o.startEl = 60;
  o.azSpeed = 0.01; // far from any target for the whole test
  o.elSpeed = 0.01;
  StartUnit(o);
  StartController(200);
  ASSERT_TRUE(ReportsReach(1));
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.bytes.begin(), c.bytes.end() - 1));
    controller->AzimuthGuard.Stop();
    controller->ElevationGuard.Stop();
    written.clear();
    Queue(true, c.bytes);
    ASSERT_TRUE(RunEventsUntil([&] { return written.size() == 1; }));
    EXPECT_EQ(controller->AzimuthGuard.Armed(), c.azimuth);
    EXPECT_EQ(controller->ElevationGuard.Armed(), c.elevation);
  }
  // Each stop ends the watch of its own axes only.
  struct Stop {
    std::vector<uint8_t> bytes;
    bool azimuth;
    bool elevation;
  } stops[] = {
      {StopAxis1Command(), false, true},
      {StopAxis2Command(), true, false},
      {StopBothCommand(), false, false},
  };
  for (const Stop &c : stops) {
    SCOPED_TRACE(std::string(c.bytes.begin(), c.bytes.end() - 1));
    controller->AzimuthGuard.Turn();
    controller->ElevationGuard.Turn();
    written.clear();
    Queue(true, c.bytes);
    ASSERT_TRUE(RunEventsUntil([&] { return written.size() == 1; }));
    EXPECT_EQ(controller->AzimuthGuard.Armed(), c.azimuth);
    EXPECT_EQ(controller->ElevationGuard.Armed(), c.elevation);
  }
}

TEST_F(Controller, AJammedElevationIsStoppedOnceAndOnlyItself) {
  rotorsim::Options o;
  o.startAz = 10;
  o.startEl = 10;
  o.faults.stall = true;
  o.faults.stallAxis = rotorsim::StallAxis::Elevation;
  rotorsim::PtyServer &unit = StartUnit(o);
  StartController(200);
  ASSERT_TRUE(ReportsReach(1));

  const auto t0 = Clock::now();
  Queue(true, MoveBothCommand(90, 90));
  ASSERT_TRUE(RunEventsUntil([&] { return elevationStalls == 1; }, Scaled(30000ms)));
  const double limit = std::chrono::duration<double, std::milli>(StallGuard::Window).count();
  EXPECT_GE(Ms(Clock::now() - t0), limit);
  ASSERT_TRUE(RunEventsUntil([&] { return Of(unit, Command::StopEl).size() == 1; }));
  EXPECT_FALSE(controller->ElevationGuard.Armed());
  EXPECT_TRUE(controller->PollTimer->Enabled());
  RunEventsFor(Scaled(1000ms));
  EXPECT_EQ(elevationStalls, 1);
  EXPECT_EQ(Of(unit, Command::StopEl).size(), 1u);
  // The azimuth turned as told and was never stopped.
  EXPECT_EQ(stalls, 0);
  EXPECT_TRUE(Of(unit, Command::StopAz).empty());
  EXPECT_TRUE(Of(unit, Command::StopBoth).empty());
  EXPECT_GT(controller->Position1, 50);
}

TEST_F(Controller, BothAxesJammedAreEachStoppedOnce) {
  rotorsim::Options o;
  o.startAz = 10;
  o.startEl = 10;
  o.faults.stall = true;
  rotorsim::PtyServer &unit = StartUnit(o);
  StartController(200);
  ASSERT_TRUE(ReportsReach(1));
  Queue(true, MoveBothCommand(90, 90));
  ASSERT_TRUE(RunEventsUntil([&] { return stalls == 1 && elevationStalls == 1; }, Scaled(30000ms)));
  ASSERT_TRUE(
      RunEventsUntil([&] { return Of(unit, Command::StopAz).size() == 1 && Of(unit, Command::StopEl).size() == 1; }));
  RunEventsFor(Scaled(1000ms));
  EXPECT_EQ(stalls, 1);
  EXPECT_EQ(elevationStalls, 1);
  EXPECT_EQ(Of(unit, Command::StopAz).size(), 1u);
  EXPECT_EQ(Of(unit, Command::StopEl).size(), 1u);
}

TEST_F(Controller, AMovingElevationIsLeftAlone) {
  rotorsim::Options o;
  o.startEl = 0;
  o.elSpeed = 3.0; // 36 degrees take 12 s: longer than the guard's window
  rotorsim::PtyServer &unit = StartUnit(o);
  StartController(200);
  ASSERT_TRUE(ReportsReach(1));
  Queue(true, MoveAxis2Command(36));
  ASSERT_TRUE(RunEventsUntil([&] { return controller->Position2 == 36; }, Scaled(30000ms)));
  RunEventsFor(Scaled(500ms));
  EXPECT_EQ(elevationStalls, 0);
  EXPECT_TRUE(Of(unit, Command::StopEl).empty());
  EXPECT_FALSE(controller->ElevationGuard.Armed()) << "arrived";
}

TEST_F(Controller, AReportWithoutElevationKeepsTheElevationGuardOff) {
  controller = std::make_unique<TRotorController>();
  std::vector<std::pair<int, int>> seen;
  QObject::connect(controller.get(), &TRotorController::Reported, [&](int p1, int p2) { seen.push_back({p1, p2}); });
  controller->TakeReport(10, 45);
  EXPECT_TRUE(controller->ElevationKnown);
  controller->ElevationGuard.Move(90);
  controller->AzimuthGuard.Move(90);
  controller->TakeReport(11, std::nullopt);
  EXPECT_FALSE(controller->ElevationKnown);
  EXPECT_FALSE(controller->ElevationGuard.Armed());
  EXPECT_TRUE(controller->AzimuthGuard.Armed()) << "the azimuth is still watched";
  EXPECT_EQ(controller->Position1, 11);
  EXPECT_EQ(controller->Position2, 45) << "the last elevation reported is kept, not made up";
  EXPECT_EQ(seen.size(), 2u);
  controller->TakeReport(12, 50);
  EXPECT_TRUE(controller->ElevationKnown);
}

} // namespace
