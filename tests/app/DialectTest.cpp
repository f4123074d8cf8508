// The window against simulated units of every dialect of the family, on a
// first start (poll "C2") and on a later one (poll "C"), paced as a 9600-baud
// line and in 16 ms adapter chunks: every poll's report is shown, in order,
// none waits for the bytes after it, and the network's position is the last
// one reported.
#include "WindowSupport.h"

#include "controller/RotorBackend.h"
#include "rotorsim/RotorSim.h"
#include "tests/controller/MixedStream.h"

#include <gtest/gtest.h>

#include <QLabel>

#include <atomic>
#include <mutex>
#include <random>
#include <thread>

namespace {

// Only the order of polls and reports is checked, so a sanitizer build needs
// little more time per poll.
constexpr int PeriodStretch = support::kSanitizerBuild ? 2 : 1;

struct Shown {
  int32_t az, el;
  bool operator==(const Shown &) const = default;
};

void PrintTo(const Shown &s, std::ostream *os) { *os << s.az << "/" << s.el; }

// The position in an answer of any dialect, read here on its own terms: the
// first number is the azimuth, a second one the elevation.
std::vector<int32_t> Numbers(const std::string &answer) {
  std::vector<int32_t> n;
  for (std::size_t i = 0; i < answer.size();) {
    if (answer[i] >= '0' && answer[i] <= '9') {
      std::size_t end = answer.find_first_not_of("0123456789", i);
      n.push_back(std::stoi(answer.substr(i, end - i)));
      i = end;
    } else {
      ++i;
    }
  }
  return n;
}

struct DialectRun {
  rotorsim::Dialect dialect;
  bool firstStart; // no settings file yet: the window polls with "C2"
  bool chunked;    // 16 ms adapter chunks, else each byte as it leaves a 9600-baud line
};

std::string RunName(const ::testing::TestParamInfo<DialectRun> &info) {
  std::string name;
  for (const rotorsim::DialectInfo &d : rotorsim::dialects())
    if (d.dialect == info.param.dialect)
      name = d.name;
  for (char &c : name)
    if (c == '-')
      c = '_';
  return name + (info.param.firstStart ? "_first" : "_later") + (info.param.chunked ? "_chunked16" : "_line9600");
}

class DialectUnit : public ::testing::TestWithParam<DialectRun>, public WindowFixture {};

TEST_P(DialectUnit, EveryAnsweredPollIsShownInOrderAndNoneWaitsForMore) {
  const DialectRun r = GetParam();
  const int32_t period = 200 * PeriodStretch;
  struct Event {
    bool poll;
    std::string answer; // of a poll
    Shown shown{};
  };
  std::mutex m;
  std::vector<Event> events;
  rotorsim::Options o;
  o.dialect = r.dialect;
  if (rotorsim::openSilence(r.dialect) > rotorsim::Duration::zero())
    o.openSilence = std::chrono::milliseconds(300); // the reset, shortened
  o.wire.delivery = r.chunked ? rotorsim::Delivery::Chunked : rotorsim::Delivery::Line;
  o.wire.chunkPeriod = std::chrono::milliseconds(16);
  o.azSpeed = 2000.0 / period; // a fresh azimuth for every poll
  o.startAz = 3;
  o.startEl = 30;
  rotorsim::ServerOptions so;
  so.linkPath = (dir / "COM1").string();
  so.onCommand = [&](const rotorsim::CommandRecord &rec) {
    if (rec.command == rotorsim::Command::Poll || rec.command == rotorsim::Command::PollBoth) {
      std::lock_guard<std::mutex> lock(m);
      events.push_back({true, rec.answer});
    }
  };
  auto unit = std::make_unique<rotorsim::PtyServer>(o, so);
  if (!r.firstStart)
    SetConfig(CrLf({"1", "EN", std::to_string(period).c_str(), "10", "0", "0", "1", "50", "50"}));
  Create();
  ASSERT_TRUE(form->ApdComPort1.Open());
  ASSERT_EQ(form->PollMode, r.firstStart ? 2 : 1);
  form->Timer1->SetInterval(period); // a first start polls once a second
  form->PositionsShown = [&] {
    std::lock_guard<std::mutex> lock(m);
    events.push_back({false, {}, {form->Position1, form->Position2}});
  };
  auto count = [&](bool polls) {
    std::lock_guard<std::mutex> lock(m);
    return std::count_if(events.begin(), events.end(), [&](const Event &e) { return e.poll == polls; });
  };
  // Turn once the unit hears: every poll then finds a new azimuth.
  ASSERT_TRUE(RunEventsUntil([&] { return count(true) >= 1; }, std::chrono::milliseconds(20000)));
  form->Button11Click();

  constexpr int reports = 3;
  ASSERT_TRUE(RunEventsUntil([&] { return count(true) >= reports + 1; }, std::chrono::milliseconds(60000)))
      << "polls answered: " << count(true);
  // No more polls: the last answers must be shown without any byte after
  // them, so none waits for what comes next.
  form->Timer1->SetEnabled(false);
  std::vector<Event> seen;
  ASSERT_TRUE(RunEventsUntil(
      [&] {
        std::lock_guard<std::mutex> lock(m);
        const auto shown =
            std::size_t(std::count_if(events.begin(), events.end(), [](const Event &e) { return !e.poll; }));
        if (shown < events.size() - shown)
          return false;
        seen = events;
        return true;
      },
      std::chrono::milliseconds(20000)))
      << "shown: " << count(false) << " of " << count(true) << " polls answered";
  RotorBackend network(form->Controller, "");
  const auto reported = network.ReportedPosition();
  const Shown last{form->Position1, form->Position2};
  form.reset();
  unit.reset();

  // Each answered poll's report is shown once, in order.
  std::vector<std::string> answers;
  std::vector<Shown> shown;
  for (const Event &e : seen) {
    if (e.poll)
      answers.push_back(e.answer);
    else
      shown.push_back(e.shown);
  }
  std::vector<Shown> expected;
  Shown at{0, 0}; // an azimuth-only report leaves the elevation as it was
  for (const std::string &a : answers) {
    const std::vector<int32_t> n = Numbers(a);
    ASSERT_FALSE(n.empty()) << ::testing::PrintToString(a);
    at = {n[0], n.size() > 1 ? n[1] : at.el};
    expected.push_back(at);
  }
  EXPECT_EQ(shown, expected) << "answers: " << ::testing::PrintToString(answers);
  // The network tells the last position shown; 0 for an elevation never reported.
  ASSERT_TRUE(reported.has_value());
  EXPECT_EQ(reported->az, last.az);
  EXPECT_EQ(reported->el, last.el);
  const bool elevationReported =
      std::any_of(answers.begin(), answers.end(), [](const std::string &a) { return Numbers(a).size() > 1; });
  if (!elevationReported) {
    EXPECT_EQ(last.el, 0);
  }
}

std::vector<DialectRun> AllRuns() {
  std::vector<DialectRun> runs;
  for (const rotorsim::DialectInfo &d : rotorsim::dialects())
    for (bool first : {true, false})
      for (bool chunked : {false, true})
        runs.push_back({d.dialect, first, chunked});
  return runs;
}

INSTANTIATE_TEST_SUITE_P(Dialects, DialectUnit, ::testing::ValuesIn(AllRuns()), RunName);

// The stall guard watches the azimuth whatever form it comes in: a jammed
// rotator behind an azimuth-only unit that ends its lines with CR alone is
// stopped once.
TEST(DialectStall, AJammedAzimuthOnlyUnitIsStopped) {
  WindowFixture w;
  std::mutex m;
  int stops = 0;
  rotorsim::Options o;
  o.dialect = rotorsim::Dialect::AzOnly;
  o.faults.stall = true;
  rotorsim::ServerOptions so;
  so.linkPath = (w.dir / "COM1").string();
  so.onCommand = [&](const rotorsim::CommandRecord &rec) {
    std::lock_guard<std::mutex> lock(m);
    stops += rec.command == rotorsim::Command::StopAz;
  };
  rotorsim::PtyServer unit(o, so);
  w.SetConfig(CrLf({"1", "EN", std::to_string(200 * PeriodStretch).c_str(), "10", "0", "0", "1", "50", "50"}));
  w.Create();
  ASSERT_TRUE(w.form->ApdComPort1.Open());
  w.form->Button11Click();
  const auto window = std::chrono::duration_cast<std::chrono::milliseconds>(StallGuard::Window);
  ASSERT_TRUE(RunEventsUntil(
      [&] {
        std::lock_guard<std::mutex> lock(m);
        return stops > 0 && !w.boxes.empty();
      },
      3 * window));
  EXPECT_EQ(stops, 1);
  EXPECT_TRUE(w.boxes.back().text.startsWith("Azimuth stopped")) << w.boxes.back().text.toStdString();
  w.form.reset(); // before the unit goes
}

// ------------------------------------------------------------ the trace

class Pieces : public ::testing::Test, public WindowFixture {
protected:
  void SetUp() override {
    CreateOnFarEnd(5000);
    ASSERT_TRUE(form->ApdComPort1.Open());
  }
  uint32_t Waiting() { return form->ApdComPort1.PortDispatcher()->ReceivedCount(); }
};

// Every piece is one trace line; a line end whose LF comes late joins its
// line; only reports move the labels, and an azimuth-only one leaves the
// elevation.
TEST_F(Pieces, EachPieceIsOneTraceLineAndOnlyReportsAreShown) {
  struct Case {
    const char *name;
    std::vector<std::string> sends; // each waits until it has been read
    std::vector<std::string> lines; // trace lines it adds
    int32_t az, el;                 // the positions afterwards
  } cases[] = {
      {"no space", {"AZ=123EL=045\r\n"}, {"AZ=123EL=045\r\n"}, 123, 45},
      {"azimuth only", {"AZ=124\r\n"}, {"AZ=124\r\n"}, 124, 45},
      {"LF late", {"+0125\r", "\n"}, {"+0125\r\n"}, 125, 45},
      {"prompt", {"?>\r\n"}, {"?>\r\n"}, 125, 45},
      {"banner starting with AZ", {"AZIMUTH ROTOR 1.2\r\n"}, {"AZIMUTH ROTOR 1.2\r\n"}, 125, 45},
      {"a CR answer, then a report", {"\r", "AZ=5 EL=12\r\n"}, {"\r", "AZ=5 EL=12\r\n"}, 5, 12},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const int before = MemoLines();
    auto line = [](const std::string &b) { return b.size() == 1 ? QString::number(b[0]) : Codes(b); };
    for (std::size_t i = 0; i < c.sends.size(); ++i) {
      ASSERT_TRUE(peer->Send(c.sends[i]));
      if (i + 1 < c.sends.size()) {
        ASSERT_TRUE(RunEventsUntil([&] { return Waiting() == 0 && MemoLines() > before; }));
      }
    }
    ASSERT_TRUE(RunEventsUntil([&] {
      return Waiting() == 0 && MemoLines() == before + int(c.lines.size()) && LastMemoLine() == line(c.lines.back());
    })) << LastMemoLine().toStdString();
    for (std::size_t i = 0; i < c.lines.size(); ++i)
      EXPECT_EQ(MemoLine(before + int(i)), line(c.lines[i]));
    EXPECT_EQ(form->Position1, c.az);
    EXPECT_EQ(form->Position2, c.el);
    EXPECT_EQ(form->Label6->text(), QString::number(c.az) + QChar(0x00B0));
  }
}

// ------------------------------------------------------------ random mixes

class RandomMixes : public ::testing::Test, public WindowFixture {
protected:
  void SetUp() override {
    CreateOnFarEnd(5000); // the test plays the unit; polls go unanswered
    ASSERT_TRUE(form->ApdComPort1.Open());
  }
};

// Reports of every dialect among answers, banners, noise and cut-off
// reports, written in pieces of random size with random gaps: every whole
// report is shown, in order.
TEST_F(RandomMixes, EveryWholeReportIsShownInOrder) {
  for (uint32_t seed : {11u, 12u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const mixed::Stream stream = mixed::MakeStream(rng, 120);
    std::vector<Shown> expected;
    Shown at{form->Position1, form->Position2};
    for (const auto &[az, el] : stream.reports) {
      at = {az, el == -999 ? at.el : el};
      expected.push_back(at);
    }
    std::vector<Shown> shown;
    form->PositionsShown = [&] { shown.push_back({form->Position1, form->Position2}); };
    std::atomic<bool> written{false};
    std::thread writer([&, seed] {
      std::mt19937 split(seed * 7919u);
      for (std::size_t pos = 0; pos < stream.bytes.size();) {
        const std::size_t n = std::min<std::size_t>(1 + split() % 24, stream.bytes.size() - pos);
        EXPECT_TRUE(peer->Send(stream.bytes.substr(pos, n)));
        pos += n;
        std::this_thread::sleep_for(std::chrono::microseconds(split() % 1500));
      }
      written = true;
    });
    const bool all =
        RunEventsUntil([&] { return written && shown.size() >= expected.size(); }, std::chrono::milliseconds(60000));
    writer.join();
    EXPECT_TRUE(all) << shown.size() << " of " << expected.size() << " shown";
    EXPECT_EQ(shown, expected);
    form->PositionsShown = nullptr;
  }
}

} // namespace
