// The control unit as a state machine, stepped with made-up times.
#include "rotorsim/RotorSim.h"

#include <gtest/gtest.h>

#include <cstdio>

#include <algorithm>

using namespace rotorsim;
using namespace std::chrono_literals;

namespace {

const TimePoint T0{};

TimePoint at(Duration d) { return T0 + d; }

// The protocol and fault tests look at what is said, not at its pace: every
// answer in one piece, at once.
Options burst() {
  Options o;
  o.wire.delivery = Delivery::Burst;
  return o;
}

// Sends `bytes` at `t` and returns what the unit has to say by then.
std::string exchange(Unit &u, std::string_view bytes, TimePoint t) {
  u.receive(bytes, t);
  return u.takeOutput(t);
}

} // namespace

TEST(RotorUnit, PollAnswersWithTheSixteenByteReport) {
  struct Case {
    int az, el;
    const char *poll;
    const char *expected;
  };
  const Case cases[] = {
      {0, 0, "C\r", "AZ=000  EL=000\r\n"},
      {7, 45, "C\r", "AZ=007  EL=045\r\n"},
      {360, 180, "C2\r", "AZ=360  EL=180\r\n"},
      {123, 9, "C2\r", "AZ=123  EL=009\r\n"},
  };
  for (const auto &c : cases) {
    Options o = burst();
    o.startAz = c.az;
    o.startEl = c.el;
    Unit u(o, T0);
    std::string out = exchange(u, c.poll, T0);
    EXPECT_EQ(out, c.expected) << c.poll << " at " << c.az << "/" << c.el;
    EXPECT_EQ(out.size(), 16u);
  }
}

TEST(RotorUnit, CommandsAreAnsweredWithCrAndJunkIsIgnored) {
  struct Case {
    const char *bytes;
    const char *answer;
    Command command;
  };
  const Case cases[] = {
      {"M045\r", "\r", Command::MoveAz},
      {"MB090\r", "\r", Command::MoveEl},
      {"W045 010\r", "\r", Command::MoveBoth},
      {"A\r", "\r", Command::StopAz},
      {"E\r", "\r", Command::StopEl},
      {"S\r", "\r", Command::StopBoth},
      {"L\r", "\r", Command::TurnCcw},
      {"R\r", "\r", Command::TurnCw},
      {"D\r", "\r", Command::TurnDown},
      {"U\r", "\r", Command::TurnUp},
      {"M360\r", "\r", Command::MoveAz},
      {"MB180\r", "\r", Command::MoveEl},
      // out of range, malformed, wrong case, unknown
      {"M361\r", "", Command::Ignored},
      {"MB181\r", "", Command::Ignored},
      {"W360 181\r", "", Command::Ignored},
      {"W361 000\r", "", Command::Ignored},
      {"M45\r", "", Command::Ignored},
      {"M0450\r", "", Command::Ignored},
      {"M0a5\r", "", Command::Ignored},
      {"m045\r", "", Command::Ignored},
      {"W045010\r", "", Command::Ignored},
      {"W045  010\r", "", Command::Ignored},
      {"C3\r", "", Command::Ignored},
      {"X\r", "", Command::Ignored},
      {"SS\r", "", Command::Ignored},
      {" C\r", "", Command::Ignored},
      {"\r", "", Command::Ignored},
      {"-45\r", "", Command::Ignored},
  };
  for (const auto &c : cases) {
    Unit u(burst(), T0);
    auto done = u.receive(c.bytes, T0);
    ASSERT_EQ(done.size(), 1u) << c.bytes;
    EXPECT_EQ(done[0].command, c.command) << c.bytes;
    EXPECT_EQ(done[0].bytes, c.bytes);
    EXPECT_EQ(u.takeOutput(T0), c.answer) << c.bytes;
  }
}

TEST(RotorUnit, ByteStreamFramingAcrossChunksAndJunk) {
  Unit u(burst(), T0);
  // A command split over several reads, CR LF line ends, a long line of junk
  // and a command without its CR yet.
  u.receive("M0", at(0ms));
  u.receive("90", at(5ms));
  EXPECT_EQ(u.takeOutput(at(5ms)), "");
  EXPECT_EQ(u.receive("\r\n", at(10ms)).size(), 1u);
  EXPECT_EQ(u.takeOutput(at(10ms)), "\r");
  std::string longLine(500, 'x'); // built in place: GCC 12 warns falsely on a temporary plus a literal
  longLine += '\r';
  EXPECT_EQ(u.receive(longLine, at(20ms)).size(), 1u);
  EXPECT_EQ(u.takeOutput(at(20ms)), "");
  EXPECT_EQ(exchange(u, "\nC\r\n", at(30ms)).size(), 16u);
  u.receive("S", at(40ms));
  auto pending = u.pendingCommand();
  ASSERT_TRUE(pending);
  EXPECT_EQ(pending->bytes, "S");
  EXPECT_EQ(pending->command, Command::Unfinished);
  EXPECT_EQ(u.takeOutput(at(40ms)), "");
  ASSERT_EQ(u.commands().size(), 3u);
  EXPECT_EQ(u.commands()[0].first, at(0ms));
  EXPECT_EQ(u.commands()[0].last, at(10ms));
  EXPECT_EQ(u.commands()[0].az, 90);
  EXPECT_EQ(u.commands()[1].bytes.size(), 65u); // cut at 64 plus the CR
  EXPECT_EQ(u.commandsHandled(), 2);
}

TEST(RotorUnit, MovesReachTheirTargetsAfterTheirTimeAndNotBefore) {
  struct Case {
    const char *name;
    int startAz, startEl;
    const char *command;
    Duration arrival; // exact time to reach the target
    Position target;
  };
  const Case cases[] = {
      {"azimuth up", 0, 0, "M090\r", 15s, {90, 0}},
      {"azimuth down", 90, 0, "M000\r", 15s, {0, 0}},
      {"azimuth to 360", 300, 0, "M360\r", 10s, {360, 0}},
      {"elevation up", 0, 0, "MB090\r", 30s, {0, 90}},
      {"elevation down", 10, 180, "MB177\r", 1s, {10, 177}},
      {"both, elevation is slower", 0, 0, "W030 045\r", 15s, {30, 45}},
      {"already there", 45, 45, "W045 045\r", 0s, {45, 45}},
  };
  for (const auto &c : cases) {
    Options o = burst();
    o.startAz = c.startAz;
    o.startEl = c.startEl;
    Unit u(o, T0);
    u.receive(c.command, T0);
    if (c.arrival > 0s) {
      Position before = u.position(T0 + c.arrival - 1ms);
      EXPECT_NE(before, c.target) << c.name;
      EXPECT_TRUE(u.moving(T0 + c.arrival - 1ms)) << c.name;
    }
    EXPECT_EQ(u.position(T0 + c.arrival), c.target) << c.name;
    EXPECT_FALSE(u.moving(T0 + c.arrival)) << c.name;
    EXPECT_EQ(u.position(T0 + c.arrival + 1h), c.target) << c.name;
  }
}

TEST(RotorUnit, TheAzimuthRangeSetsTheEndStopAndWhatIsTaken) {
  struct Case {
    int range, startAz;
    const char *command;
    int azAfter; // once everything stopped
  };
  const Case cases[] = {
      {360, 350, "M400\r", 350}, // beyond the end stop: ignored
      {360, 350, "W400 010\r", 350}, {360, 350, "R\r", 360},   {450, 350, "M400\r", 400}, // into the overlap
      {450, 350, "W450 010\r", 450}, {450, 400, "M040\r", 40}, // back out of it, the long way as asked
      {450, 350, "R\r", 450},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.command);
    Options o = burst();
    o.azRange = c.range;
    o.startAz = c.startAz;
    Unit u(o, T0);
    u.receive(c.command, T0);
    EXPECT_EQ(u.position(at(1h)).az, c.azAfter);
    char report[32];
    std::snprintf(report, sizeof report, "AZ=%03d  EL=%03d\r\n", c.azAfter, u.position(at(1h)).el);
    u.takeOutput(at(1h));
    EXPECT_EQ(exchange(u, "C\r", at(1h)), report);
  }
}

TEST(RotorUnit, PositionsInBetweenAreWholeDegreesAlreadyPassed) {
  Unit u(burst(), T0);
  u.receive("W180 090\r", T0);
  EXPECT_EQ(u.position(at(1s)), (Position{6, 3}));
  EXPECT_EQ(u.position(at(7500ms)), (Position{45, 22}));
  EXPECT_EQ(u.takeOutput(T0), "\r");
  EXPECT_EQ(exchange(u, "C\r", at(10s)), "AZ=060  EL=030\r\n");

  // Turning back down mid-way continues from the reported degree.
  u.receive("M000\r", at(10s));
  EXPECT_EQ(u.position(at(10s)).az, 60);
  EXPECT_EQ(u.position(at(10s) + 100ms).az, 60); // 59.4 not yet passed 59
  EXPECT_EQ(u.position(at(11s)).az, 54);
  EXPECT_EQ(u.position(at(20s)).az, 0);
}

TEST(RotorUnit, StopsHoldTheirAxesAtOnce) {
  struct Case {
    const char *stop;
    Position held;
  };
  // Both axes moving from 0: at 10 s azimuth is 60, elevation 30.
  const Case cases[] = {
      {"A\r", {60, 90}},
      {"E\r", {180, 30}},
      {"S\r", {60, 30}},
  };
  for (const auto &c : cases) {
    Unit u(burst(), T0);
    u.receive("W180 090\r", T0);
    u.receive(c.stop, at(10s));
    EXPECT_EQ(u.position(at(10s)), (Position{60, 30})) << c.stop;
    EXPECT_EQ(u.position(at(1h)), c.held) << c.stop;
  }
}

TEST(RotorUnit, TurnsRunToTheirEndStops) {
  struct Case {
    const char *turn;
    int startAz, startEl;
    Position after10s, end;
  };
  const Case cases[] = {
      {"R\r", 350, 0, {360, 0}, {360, 0}}, {"L\r", 100, 0, {40, 0}, {0, 0}}, {"U\r", 0, 170, {0, 180}, {0, 180}},
      {"D\r", 0, 50, {0, 20}, {0, 0}},     {"L\r", 0, 0, {0, 0}, {0, 0}}, // already at its end stop
  };
  for (const auto &c : cases) {
    Options o = burst();
    o.startAz = c.startAz;
    o.startEl = c.startEl;
    Unit u(o, T0);
    EXPECT_EQ(exchange(u, c.turn, T0), "\r");
    EXPECT_EQ(u.position(at(10s)), c.after10s) << c.turn << " from " << c.startAz;
    EXPECT_EQ(u.position(at(24h)), c.end) << c.turn;
    EXPECT_FALSE(u.moving(at(24h)));
  }
  // A turn until a stop, then a turn the other way.
  Unit u(burst(), T0);
  u.receive("R\r", T0);
  u.receive("A\r", at(5s));
  EXPECT_EQ(u.position(at(1h)).az, 30);
  u.receive("L\r", at(1h));
  EXPECT_EQ(u.position(at(1h) + 2s).az, 18);
}

TEST(RotorUnit, SpeedsAreConfigurable) {
  Options o = burst();
  o.azSpeed = 0.5;
  o.elSpeed = 20;
  Unit u(o, T0);
  u.receive("W010 100\r", T0);
  EXPECT_EQ(u.position(at(5s)), (Position{2, 100}));
  EXPECT_EQ(u.position(at(19999ms)).az, 9);
  EXPECT_EQ(u.position(at(20s)).az, 10);
}

TEST(RotorUnitFaults, ReplyDelayHoldsEveryAnswerBackInOrder) {
  Options o = burst();
  o.faults.replyDelay = 250ms;
  Unit u(o, T0);
  u.receive("C\r", T0);
  u.receive("M010\r", at(10ms));
  EXPECT_EQ(u.takeOutput(at(249ms)), "");
  EXPECT_EQ(u.nextDue(), at(250ms));
  EXPECT_EQ(u.takeOutput(at(250ms)), "AZ=000  EL=000\r\n");
  EXPECT_EQ(u.takeOutput(at(259ms)), "");
  EXPECT_EQ(u.takeOutput(at(260ms)), "\r");
  EXPECT_FALSE(u.nextDue());
}

TEST(RotorUnitFaults, ReportSplitIntoPausedPieces) {
  struct Case {
    std::vector<int> sizes;
    bool leadingCr;
    std::vector<std::string> pieces;
  };
  const Case cases[] = {
      {{1}, false, {"A", "Z=000  EL=000\r\n"}},    {{4, 4, 4}, false, {"AZ=0", "00  ", "EL=0", "00\r\n"}},
      {{8, 8}, false, {"AZ=000  ", "EL=000\r\n"}}, {{10, 10}, false, {"AZ=000  EL", "=000\r\n"}},
      {{}, true, {"\rAZ=000  EL=000\r\n"}},        {{1}, true, {"\r", "AZ=000  EL=000\r\n"}},
  };
  for (const auto &c : cases) {
    Options o = burst();
    o.faults.splitSizes = c.sizes;
    o.faults.splitPause = 100ms;
    o.faults.leadingCr = c.leadingCr;
    Unit u(o, T0);
    u.receive("C\r", T0);
    for (size_t i = 0; i < c.pieces.size(); ++i) {
      TimePoint due = T0 + int(i) * 100ms;
      if (i > 0) {
        EXPECT_EQ(u.takeOutput(due - 1ms), "");
      }
      EXPECT_EQ(u.takeOutput(due), c.pieces[i]) << "piece " << i;
    }
    EXPECT_FALSE(u.nextDue());
    // Only reports are split; the answer to a command follows the last piece.
    u.receive("A\r", T0 + 1ms);
    EXPECT_EQ(u.takeOutput(at(1h)), "\r");
  }
}

TEST(RotorUnitFaults, GarbageComesAtItsRateAndInterleavesWithAnswers) {
  Options o = burst();
  o.faults.garbagePerSecond = 20;
  o.faults.seed = 7;
  Unit a(o, T0), b(o, T0);
  EXPECT_EQ(a.takeOutput(at(49ms)), "");
  std::string first = a.takeOutput(at(1s));
  EXPECT_EQ(first.size(), 20u);
  EXPECT_EQ(b.takeOutput(at(1s)), first); // the seed makes it repeatable
  o.faults.seed = 8;
  Unit c(o, T0);
  EXPECT_NE(c.takeOutput(at(1s)), first);

  // An answer due at 1010 ms goes out before the garbage of 1050 and 1100 ms.
  a.receive("A\r", at(1010ms));
  std::string out = a.takeOutput(at(1100ms));
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0], '\r');
}

TEST(RotorUnitFaults, MuteUnitActsButNeverAnswers) {
  Options o = burst();
  o.faults.mute = true;
  Unit u(o, T0);
  EXPECT_EQ(exchange(u, "M030\r", T0), "");
  EXPECT_EQ(exchange(u, "C\r", at(10s)), "");
  EXPECT_FALSE(u.nextDue());
  EXPECT_EQ(u.position(at(10s)).az, 30);
}

TEST(RotorUnitFaults, StalledUnitAnswersButNeverMoves) {
  Options o = burst();
  o.faults.stall = true;
  o.startAz = 100;
  o.startEl = 20;
  for (const char *command : {"M200\r", "MB090\r", "W000 000\r", "R\r", "L\r", "U\r", "D\r"}) {
    Unit u(o, T0);
    EXPECT_EQ(exchange(u, command, T0), "\r") << command;
    EXPECT_FALSE(u.moving(at(1s))) << command;
    EXPECT_EQ(exchange(u, "C\r", at(1h)), "AZ=100  EL=020\r\n") << command;
    EXPECT_EQ(u.commandsHandled(), 2) << command;
  }
}

TEST(RotorUnitFaults, OneJammedAxisHoldsWhileTheOtherMoves) {
  struct Case {
    StallAxis axis;
    const char *command;
    const char *report;
  };
  const Case cases[] = {
      {StallAxis::Elevation, "W090 090\r", "AZ=090  EL=020\r\n"},
      {StallAxis::Elevation, "U\r", "AZ=100  EL=020\r\n"},
      {StallAxis::Elevation, "R\r", "AZ=360  EL=020\r\n"},
      {StallAxis::Azimuth, "W090 090\r", "AZ=100  EL=090\r\n"},
      {StallAxis::Azimuth, "L\r", "AZ=100  EL=020\r\n"},
      {StallAxis::Azimuth, "MB090\r", "AZ=100  EL=090\r\n"},
  };
  for (const Case &c : cases) {
    Options o = burst();
    o.faults.stall = true;
    o.faults.stallAxis = c.axis;
    o.startAz = 100;
    o.startEl = 20;
    Unit u(o, T0);
    EXPECT_EQ(exchange(u, c.command, T0), "\r") << c.command;
    EXPECT_EQ(exchange(u, "C\r", at(1h)), c.report) << c.command;
  }
}

TEST(RotorUnitFaults, HangUpAfterTheNthCommandOnceItsAnswerIsDue) {
  Options o = burst();
  o.faults.hangUpAfter = 2;
  o.faults.replyDelay = 100ms;
  Unit u(o, T0);
  u.receive("C\rjunk\r", T0); // the junk does not count
  EXPECT_FALSE(u.hangUpDue(at(1h)));
  u.receive("M090\r", at(1s));
  EXPECT_FALSE(u.hangUpDue(at(1099ms)));
  EXPECT_EQ(u.nextDue(), at(100ms));
  EXPECT_EQ(u.takeOutput(at(1100ms)), "AZ=000  EL=000\r\n\r");
  EXPECT_TRUE(u.hangUpDue(at(1100ms)));
  // A unit that has hung up acts on nothing more.
  EXPECT_EQ(exchange(u, "C\rS\r", at(2s)), "");
  EXPECT_EQ(u.commandsHandled(), 2);
  EXPECT_TRUE(u.moving(at(2s)));

  o.faults.mute = true;
  Unit m(o, T0);
  m.receive("A\rA\r", at(5s));
  EXPECT_TRUE(m.hangUpDue(at(5s)));
}

TEST(RotorUnit, RecordKeepsEveryByteWithItsTime) {
  Options o = burst();
  o.recordLimit = 6;
  Unit u(o, T0);
  u.receive("C", at(1ms));
  u.receive("\r\n", at(2ms));
  u.receive("M0", at(3ms));
  ASSERT_EQ(u.received().size(), 5u);
  const std::string expected = "C\r\nM0";
  for (size_t i = 0; i < expected.size(); ++i)
    EXPECT_EQ(u.received()[i].byte, uint8_t(expected[i])) << i;
  EXPECT_EQ(u.received()[0].time, at(1ms));
  EXPECT_EQ(u.received()[2].time, at(2ms));
  EXPECT_EQ(u.received()[4].time, at(3ms));
  // Beyond the limit the oldest go.
  u.receive("10\r", at(4ms));
  ASSERT_EQ(u.received().size(), 6u);
  EXPECT_EQ(u.received().front().byte, '\n');
  EXPECT_EQ(u.received().back().byte, '\r');
}

TEST(RotorUnit, LogLinesShowTimeBytesAndMeaning) {
  CommandRecord rec{at(3250ms), at(3252ms), "M045\r", Command::MoveAz, 45, -1};
  EXPECT_EQ(formatLogLine(rec, T0), "   3.250 (+2 ms)  M045<CR>  [4D 30 34 35 0D]  move azimuth to 45");
  CommandRecord junk{at(0ms), at(0ms), std::string("\x01z\n", 3) + "\r", Command::Ignored};
  EXPECT_EQ(formatLogLine(junk, T0), "   0.000 (+0 ms)  <01>z<LF><CR>  [01 7A 0A 0D]  ignored");
  CommandRecord both{at(1s), at(1s), "W001 002\r", Command::MoveBoth, 1, 2};
  EXPECT_NE(formatLogLine(both, T0).find("move azimuth to 1, elevation to 2"), std::string::npos);
}

// ------------------------------------------------------------------ wire

namespace {

const std::string kReport0 = "AZ=000  EL=000\r\n";

// Everything the unit hands over, as (time, pieces) in order.
std::vector<std::pair<TimePoint, std::vector<std::string>>> drain(Unit &u) {
  std::vector<std::pair<TimePoint, std::vector<std::string>>> out;
  while (auto due = u.nextDue())
    out.emplace_back(*due, u.takeDeliveries(*due));
  return out;
}

} // namespace

TEST(RotorWire, CharacterTimeFromRateAndFormat) {
  struct Case {
    LineFormat format;
    long long ns;
  };
  const Case cases[] = {
      {{9600, 10}, 1041666},
      {{1200, 10}, 8333333},
      {{115200, 10}, 86805},
      {{9600, 11}, 1145833},
  };
  for (const auto &c : cases)
    EXPECT_NEAR(double(std::chrono::duration_cast<std::chrono::nanoseconds>(c.format.charTime()).count()), double(c.ns),
                1.0)
        << c.format.baud << "/" << c.format.bitsPerChar;
}

TEST(RotorWire, LineHandsEachByteOverWhenItHasLeftTheWire) {
  struct Case {
    const char *name;
    int fixedBaud;
    LineFormat line;
    LineFormat paced;
  };
  const Case cases[] = {
      {"9600 8N1, the default", 0, {9600, 10}, {9600, 10}},
      {"1200 8N1 set on the line", 0, {1200, 10}, {1200, 10}},
      {"115200 8N1 set on the line", 0, {115200, 10}, {115200, 10}},
      {"7E2 takes eleven bits", 0, {9600, 11}, {9600, 11}},
      {"a fixed rate wins over the line's", 1200, {9600, 10}, {1200, 10}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Options o;
    o.wire.baud = c.fixedBaud;
    Unit u(o, T0);
    u.setLineFormat(c.line);
    u.receive("C\r", T0);
    const Duration step = c.paced.charTime();
    for (size_t k = 0; k < kReport0.size(); ++k) {
      const TimePoint due = T0 + int(k + 1) * step;
      ASSERT_EQ(u.nextDue(), due) << k;
      EXPECT_TRUE(u.takeDeliveries(due - 1ns).empty()) << k;
      EXPECT_EQ(u.takeDeliveries(due), std::vector<std::string>{kReport0.substr(k, 1)}) << k;
    }
    EXPECT_FALSE(u.nextDue());
  }
}

TEST(RotorWire, AnswersQueueBehindWhatIsStillOnTheWire) {
  Unit u(Options{}, T0);
  const Duration step = LineFormat{}.charTime();
  u.receive("C\r", T0);
  u.receive("S\r", T0 + 3 * step); // while the report is leaving
  auto all = drain(u);
  ASSERT_EQ(all.size(), 17u);
  std::string joined;
  for (const auto &[t, pieces] : all) {
    ASSERT_EQ(pieces.size(), 1u);
    joined += pieces[0];
  }
  EXPECT_EQ(joined, kReport0 + "\r");
  EXPECT_EQ(all.back().first, T0 + 17 * step);
  // A late reader gets everything that left by then, in order.
  Unit late(Options{}, T0);
  late.receive("C\r", T0);
  EXPECT_EQ(late.takeOutput(T0 + 5 * step), kReport0.substr(0, 5));
  EXPECT_EQ(late.takeOutput(T0 + 1s), kReport0.substr(5));
}

TEST(RotorWire, ChunkedHandsOverWhatGatheredAtEachTick) {
  const Duration step = LineFormat{}.charTime();
  for (Duration period : {Duration(1ms), Duration(16ms)}) {
    std::vector<Duration> phases;
    for (uint32_t seed : {1u, 2u, 3u, 4u}) {
      SCOPED_TRACE(std::to_string(period.count()) + " ns, seed " + std::to_string(seed));
      Options o;
      o.wire.delivery = Delivery::Chunked;
      o.wire.chunkPeriod = period;
      o.faults.seed = seed;
      Unit u(o, T0);
      u.receive("C\r", T0);
      auto all = drain(u);
      ASSERT_FALSE(all.empty());
      std::string joined;
      size_t k = 0;
      for (const auto &[t, pieces] : all) {
        ASSERT_EQ(pieces.size(), 1u);
        // Ticks are whole periods apart.
        EXPECT_EQ((t - all.front().first) % period, Duration::zero());
        for (size_t i = 0; i < pieces[0].size(); ++i, ++k) {
          // Each byte at the first tick after it arrived.
          const TimePoint arrived = T0 + int(k + 1) * step;
          EXPECT_GE(t, arrived) << k;
          EXPECT_LT(t - period, arrived) << k;
        }
        joined += pieces[0];
      }
      EXPECT_EQ(joined, kReport0);
      phases.push_back((all.front().first - T0) % period);
    }
    std::sort(phases.begin(), phases.end());
    EXPECT_NE(phases.front(), phases.back()) << "the phase should follow the seed";
  }
}

TEST(RotorWire, BurstKeepsPiecesWholeAndGarbageApart) {
  Options o = burst();
  o.faults.splitSizes = {4};
  o.faults.splitPause = 10ms;
  o.faults.garbagePerSecond = 200; // a byte every 5 ms
  Unit u(o, T0);
  u.receive("C\r", T0 + 1ms);
  EXPECT_EQ(u.takeDeliveries(T0 + 1ms), std::vector<std::string>{"AZ=0"});
  auto rest = u.takeDeliveries(T0 + 11ms);
  ASSERT_EQ(rest.size(), 3u); // garbage at 5 and 10 ms, then the rest at 11 ms
  EXPECT_EQ(rest[0].size(), 1u);
  EXPECT_EQ(rest[1].size(), 1u);
  EXPECT_EQ(rest[2], "00  EL=000\r\n");
}

// Each dialect answers the two polls, a move, a stop and a line it does not
// know as its units do.
TEST(RotorDialects, AnswersAsTheirUnitsDo) {
  struct Case {
    Dialect dialect;
    const char *c, *c2, *move, *unknown;
  } cases[] = {
      {Dialect::Report16, "AZ=007  EL=045\r\n", "AZ=007  EL=045\r\n", "\r", ""},
      {Dialect::Variant2, "AZ=007\r\n", "AZ=007  EL=045\r\n", "\r", "? >\r\n"},
      {Dialect::Variant1, "+0007\r\n", "+0007+0045\r\n", "\r", ""},
      {Dialect::Firmware, "AZ=007\r\n", "AZ=007EL=045\r\n", "\r\n", "?>\r\n"},
      {Dialect::FirmwarePlus0, "+0007\r\n", "+0007+0045\r\n", "\r\n", "?>\r\n"},
      {Dialect::CloneCr, "+0007+0045\r", "+0007+0045\r", "", ""},
      {Dialect::CloneLfCr, "+0007+0045\n\r", "+0007+0045\n\r", "", ""},
      {Dialect::Hobby, "AZ=7 EL=45\r\n", "AZ=7 EL=45\r\n", "\r\n", ""},
      {Dialect::AzOnly, "AZ=007\r", "AZ=007\r", "", ""},
  };
  for (const Case &c : cases) {
    Options o = burst();
    o.dialect = c.dialect;
    o.startAz = 7;
    o.startEl = 45;
    Unit u(o, T0);
    SCOPED_TRACE(int(c.dialect));
    EXPECT_EQ(exchange(u, "C\r", T0), c.c);
    EXPECT_EQ(exchange(u, "C2\r", T0), c.c2);
    EXPECT_EQ(exchange(u, "S\r", T0), c.move);
    EXPECT_EQ(exchange(u, "M090\r", T0), c.move);
    EXPECT_EQ(exchange(u, "XYZ\r", T0), c.unknown);
    EXPECT_EQ(exchange(u, "\r", T0), ""); // an empty line is no command
    EXPECT_EQ(u.commandsHandled(), 4);
  }
}

// Opening the port: a board that resets drops what it was sending, hears
// nothing for its silence and then works; a clone greets with its banner.
TEST(RotorDialects, OpeningThePortResetsOrGreets) {
  Options o = burst();
  o.dialect = Dialect::Firmware;
  {
    o.faults.replyDelay = 50ms;
    Unit u(o, T0);
    u.receive("C\r", at(0ms));
    u.portOpened(at(10ms)); // before the answer is due
    EXPECT_EQ(u.takeOutput(at(100ms)), "");
    EXPECT_EQ(exchange(u, "C\r", at(1990ms)), ""); // still starting
    EXPECT_EQ(u.takeOutput(at(3s)), "");
    EXPECT_EQ(u.commands().size(), 1u);
    u.receive("C\r", at(2010ms));
    EXPECT_EQ(u.takeOutput(at(3s)), "AZ=000\r\n");
  }
  {
    Options quiet = burst();
    quiet.dialect = Dialect::Hobby;
    quiet.openSilence = 0ms; // the silence can be turned off
    Unit u(quiet, T0);
    u.portOpened(at(0ms));
    EXPECT_EQ(exchange(u, "C\r", at(1ms)), "AZ=0 EL=0\r\n");
  }
  for (Dialect d : {Dialect::CloneCr, Dialect::CloneLfCr}) {
    Options clone = burst();
    clone.dialect = d;
    Unit u(clone, T0);
    EXPECT_EQ(u.takeOutput(at(1s)), ""); // nothing before anyone listens
    u.portOpened(at(1s));
    EXPECT_EQ(u.takeOutput(at(1s)), openBanner(d));
    EXPECT_NE(openBanner(d).find("READY"), std::string::npos);
  }
}
