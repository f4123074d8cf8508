// The window's pure pieces: command bytes, report parsing, dial angles and
// the needle's end point.
#include "app/DialGeometry.h"
#include "controller/RotorProtocol.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Text(const std::vector<uint8_t> &bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST(PositionDigits, FirstSecondAndLastCharacterOfTheText) {
  struct Case {
    int32_t value;
    const char *digits;
  } cases[] = {{0, "000"},   {7, "007"},    {9, "009"},   {10, "010"},  {45, "045"},
               {99, "099"},  {100, "100"},  {180, "180"}, {359, "359"}, {360, "360"},
               {999, "999"}, {1234, "124"}, {-5, "005"},  {-45, "005"}, {-123, "003"}};
  for (const Case &c : cases) {
    const auto d = PositionDigits(c.value);
    EXPECT_EQ(std::string(d.begin(), d.end()), c.digits) << c.value;
  }
}

TEST(Commands, ExactBytes) {
  EXPECT_EQ(Text(PollCommand(1)), "C\r");
  EXPECT_EQ(Text(PollCommand(0)), "C\r");
  EXPECT_EQ(Text(PollCommand(2)), "C2\r");
  EXPECT_EQ(Text(MoveAxis1Command(7)), "M007\r");
  EXPECT_EQ(Text(MoveAxis1Command(360)), "M360\r");
  EXPECT_EQ(Text(MoveAxis2Command(90)), "MB090\r");
  const auto both = MoveBothCommand(45, 10);
  EXPECT_EQ(both.size(), 9u);
  EXPECT_EQ(Text(both), "W045 010\r");
}

TFrameBuffer Frame(const std::string &bytes, int32_t fill = 0) {
  TFrameBuffer f;
  f.fill(fill);
  for (std::size_t i = 0; i < bytes.size() && i < f.size(); ++i)
    f[i] = static_cast<uint8_t>(bytes[i]);
  return f;
}

TEST(ParseReport, AlignmentsShiftAndGarbage) {
  struct Case {
    const char *name;
    std::string bytes;
    bool found;
    int32_t p1, p2;
  } cases[] = {
      {"first alignment", "AZ=123  EL=045\r\n", true, 123, 45},
      {"second alignment", "Z=123  EL=045\r\nA", true, 123, 45},
      {"leading CR", "\rAZ=010  EL=090\r", true, 10, 90},
      {"17 bytes", "AZ=359  EL=000\r\n\r", true, 359, 0},
      {"space in a digit", "AZ= 45  EL=000\r\n", true, -1555, 0},
      {"garbage", "XY=123  EL=045\r\n", false, -7, -7},
      {"Z without trailing A", "Z=123  EL=045\r\nB", false, -7, -7},
  };
  for (const Case &c : cases) {
    TFrameBuffer f = Frame(c.bytes);
    int32_t p1 = -7, p2 = -7;
    EXPECT_EQ(ParseReport(f, p1, p2), c.found) << c.name;
    EXPECT_EQ(p1, c.p1) << c.name;
    EXPECT_EQ(p2, c.p2) << c.name;
  }
}

TEST(ParseReport, LeadingCrShiftsSixteenEntriesAndKeepsEntry16) {
  TFrameBuffer f = Frame("\rAZ=010  EL=090\r", 0);
  f[16] = 77; // left from an earlier, longer event
  f[17] = 88;
  int32_t p1 = 0, p2 = 0;
  ASSERT_TRUE(ParseReport(f, p1, p2));
  EXPECT_EQ(f[0], 'A');
  EXPECT_EQ(f[14], '\r');
  EXPECT_EQ(f[15], 77);
  EXPECT_EQ(f[16], 77);
  EXPECT_EQ(f[17], 88);
}

TEST(AzimuthDial, PointerToAngle) {
  struct Case {
    int x, y, angle;
  } cases[] = {{150, 50, 45},  {150, 150, 135}, {50, 150, 225}, {50, 50, 315},   {100, 0, 360},
               {99, 0, 359},   {101, 0, 1},     {100, 100, 0},  {100, 199, 180}, {0, 100, 270},
               {199, 100, 90}, {200, 0, 45},    {0, 0, 315},    {173, 58, 60},   {100, 99, 360}};
  for (const Case &c : cases)
    EXPECT_EQ(AzimuthAt(c.x, c.y), c.angle) << c.x << "," << c.y;
}

TEST(ElevationDial, PointerToElevation) {
  struct Case {
    int x, y, elevation;
  } cases[] = {{50, 50, 45},   {150, 50, 135}, {0, 100, 0},  {199, 100, 180}, {100, 20, 90},
               {100, 100, 90}, {100, 180, 90}, {30, 150, 0}, {99, 199, 0},    {170, 150, 180},
               {0, 99, 1},     {199, 99, 179}, {13, 50, 30}};
  for (const Case &c : cases)
    EXPECT_EQ(ElevationAt(c.x, c.y), c.elevation) << c.x << "," << c.y;
}

TEST(Needle, EndPoints) {
  struct Case {
    int32_t position;
    int32_t dx, dy;
  } cases[] = {{0, 0, -30},   {45, 21, -21}, {90, 30, 0},      {180, 0, 30},  {270, -30, 0},
               {360, 0, -30}, {123, 25, 16}, {-1555, -27, 13}, {30, 15, -26}, {315, -21, -21}};
  for (const Case &c : cases) {
    const NeedlePoint p = NeedleEnd(100, 161, c.position);
    EXPECT_EQ(p.x, 100 + c.dx) << c.position;
    EXPECT_EQ(p.y, 161 + c.dy) << c.position;
  }
}

} // namespace

// ------------------------------------------------------------ stall guard

#include "controller/StallGuard.h"

namespace {

using namespace std::chrono_literals;

TEST(StallGuard, StopsOnceWhenTheAzimuthDoesNotFollow) {
  using T = StallGuard::Clock::time_point;
  const T t0{};
  const auto silence = 600ms; // three 200 ms polls
  struct Report {
    int az;
    std::chrono::milliseconds at;
  };
  struct Case {
    const char *name;
    bool turn;
    int target;
    std::vector<Report> reports;
    int stopAt; // index of the report that stops, -1: none
    bool armedAfter;
  };
  auto steady = [](int az, int fromMs, int toMs, int stepMs, int degPerStep) {
    std::vector<Report> r;
    for (int t = fromMs, a = az; t <= toMs; t += stepMs, a += degPerStep)
      r.push_back({a, std::chrono::milliseconds(t)});
    return r;
  };
  std::vector<Case> cases = {
      {"a stalled move: stop at ten seconds", false, 90, steady(10, 0, 12000, 200, 0), 50, false},
      {"a move that moves never stops", false, 300, steady(10, 0, 12000, 200, 1), -1, true},
      {"slow but moving: two degrees in under ten seconds", false, 300, steady(10, 0, 30000, 4000, 1), -1, true},
      {"arrived within two degrees: off", false, 12, steady(10, 0, 20000, 200, 0), -1, false},
      {"a turn at its end stop", true, 0, steady(360, 0, 12000, 200, 0), 50, false},
      {"a turn that turns", true, 0, steady(0, 0, 12000, 200, 1), -1, true},
  };
  // Reports stop for a while (the device away): the watch starts afresh.
  std::vector<Report> gap = steady(10, 0, 5000, 200, 0);
  for (const Report &r : steady(10, 9000, 19000, 200, 0))
    gap.push_back(r);
  cases.push_back({"a silence restarts the watch", false, 90, gap, 26 + 50, false});
  // One degree back and forth is no progress.
  std::vector<Report> jitter;
  for (int i = 0; i <= 60; ++i)
    jitter.push_back({10 + (i % 2), std::chrono::milliseconds(i * 200)});
  cases.push_back({"jitter of a degree is no progress", false, 90, jitter, 50, false});

  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    StallGuard g;
    c.turn ? g.Turn() : g.Move(c.target);
    int stopped = -1, stops = 0;
    for (std::size_t i = 0; i < c.reports.size(); ++i)
      if (g.Report(c.reports[i].az, t0 + c.reports[i].at, silence)) {
        ++stops;
        if (stopped < 0)
          stopped = int(i);
      }
    EXPECT_EQ(stopped, c.stopAt);
    EXPECT_LE(stops, 1);
    EXPECT_EQ(g.Armed(), c.armedAfter);
  }
}

TEST(StallGuard, AStopOrANewCommandDisarmsOrRearms) {
  const StallGuard::Clock::time_point t0{};
  StallGuard g;
  EXPECT_FALSE(g.Report(10, t0, 1s)); // nothing asked for: nothing watched
  EXPECT_FALSE(g.Armed());
  g.Move(90);
  EXPECT_FALSE(g.Report(10, t0, 1s));
  g.Stop();
  EXPECT_FALSE(g.Report(10, t0 + 11s, 1s));
  g.Turn();
  EXPECT_FALSE(g.Report(10, t0 + 11s, 1s));
  EXPECT_FALSE(g.Report(10, t0 + 15s, 5s));
  g.Move(90); // a new command starts the watch again
  EXPECT_FALSE(g.Report(10, t0 + 20s, 5s));
  EXPECT_TRUE(g.Report(10, t0 + 30s, 11s));
  EXPECT_FALSE(g.Armed());
}

} // namespace
