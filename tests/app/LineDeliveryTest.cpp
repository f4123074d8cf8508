// Reports as real lines deliver them: the window against the simulated unit
// paced at the line's rate or handed over in adapter-sized chunks, and a
// randomly split stream with answers, noise and cut-off reports between.
#include "WindowSupport.h"

#include "rotorsim/RotorSim.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <algorithm>
#include <atomic>
#include <mutex>
#include <random>

namespace {

// The poll period is stretched so one report fits into one period with room
// to spare: a loaded machine holds the window's event loop for a few hundred
// milliseconds now and then (measured: 400 ms with both cores busy), and a
// sanitizer build takes longer over each report.
constexpr int PeriodStretch = support::kSanitizerBuild ? 8 : 2;

using Clock = std::chrono::steady_clock;

// The whole reports the unit delivered, in order, each with the time its
// last byte went out.
struct Delivered {
  int32_t azimuth;
  Clock::time_point done;
};
std::vector<Delivered> DeliveredReports(const std::vector<rotorsim::Delivered> &pieces) {
  std::string stream;
  std::vector<std::pair<std::size_t, Clock::time_point>> ends; // stream length after each piece
  for (const auto &d : pieces) {
    stream += d.bytes;
    ends.emplace_back(stream.size(), d.time);
  }
  std::vector<Delivered> reports;
  for (std::size_t p = stream.find("AZ="); p != std::string::npos; p = stream.find("AZ=", p + 1)) {
    if (p + 16 > stream.size() || stream.compare(p + 8, 3, "EL=") != 0)
      continue;
    auto piece = std::find_if(ends.begin(), ends.end(), [&](const auto &e) { return e.first >= p + 16; });
    reports.push_back({std::stoi(stream.substr(p + 3, 3)), piece->second});
  }
  return reports;
}

struct Event {
  enum Kind { Poll, Shown } kind;
  int32_t azimuth = 0;
  Clock::time_point at = {};
};

// What the window needs between a report's last byte and the next poll to
// have shown it: reading, the dispatcher's hand-over and one turn of its
// event loop, on a machine that may be busy.
constexpr std::chrono::milliseconds Reaction{support::kSanitizerBuild ? 400 : 100};

struct Pacing {
  const char *name;
  rotorsim::Delivery delivery;
  int chunkMs;
  int32_t baud; // set on the port; the unit paces at the rate the line has
  int32_t pollMs;
};

void PrintTo(const Pacing &p, std::ostream *os) { *os << p.name; }

class PacedUnit : public ::testing::TestWithParam<Pacing>, public WindowFixture {};

// Every report the unit sends is shown, in order, before the next poll goes
// out: within one poll period whatever the line does to its bytes.
TEST_P(PacedUnit, EveryReportIsShownBeforeTheNextPoll) {
  const Pacing p = GetParam();
  const int32_t period = p.pollMs * PeriodStretch;
  std::mutex m;
  std::vector<Event> events;
  rotorsim::Options o;
  o.wire.delivery = p.delivery;
  o.wire.chunkPeriod = std::chrono::milliseconds(p.chunkMs);
  o.azSpeed = 2000.0 / period; // a fresh azimuth for every poll
  rotorsim::ServerOptions so;
  so.linkPath = (dir / "COM1").string();
  so.onCommand = [&](const rotorsim::CommandRecord &rec) {
    if (rec.command == rotorsim::Command::Poll) {
      std::lock_guard<std::mutex> lock(m);
      events.push_back({Event::Poll, 0, rec.last});
    }
  };
  auto unit = std::make_unique<rotorsim::PtyServer>(o, so);
  SetConfig(CrLf({"1", "EN", std::to_string(period).c_str(), "10", "0", "0", "1", "50", "50"}));
  Create();
  ASSERT_TRUE(form->ApdComPort1.Open());
  form->ApdComPort1.SetBaud(p.baud);
  form->PositionsShown = [&] {
    std::lock_guard<std::mutex> lock(m);
    events.push_back({Event::Shown, form->Position1, Clock::now()});
  };
  form->Button11Click(); // turn clockwise: every poll finds a new azimuth

  constexpr int reports = 8;
  auto shownCount = [&] {
    std::lock_guard<std::mutex> lock(m);
    return std::count_if(events.begin(), events.end(), [](const Event &e) { return e.kind == Event::Shown; });
  };
  ASSERT_TRUE(RunEventsUntil([&] { return shownCount() >= reports + 1; }, std::chrono::milliseconds(60000)))
      << "shown: " << shownCount();
  form.reset();
  const std::vector<Delivered> sent = DeliveredReports(unit->delivered());
  unit.reset();

  // Poll k is answered by report k; it must be shown before poll k + 1, in
  // order and once. A report whose last byte left the unit less than the
  // window's reaction before poll k + 1 arrived there (a busy machine can
  // slow a unit pacing its bytes that much) must be shown before poll k + 2.
  // A window that holds a report back until more bytes come shows every
  // report a poll late: that fails here however the machine is loaded.
  std::vector<Clock::time_point> polls;
  std::vector<std::pair<int32_t, std::size_t>> shown; // azimuth, polls before it
  for (const Event &e : events) {
    if (e.kind == Event::Poll)
      polls.push_back(e.at);
    else if (!polls.empty())
      shown.emplace_back(e.azimuth, polls.size() - 1);
  }
  ASSERT_GE(sent.size(), std::size_t(reports));
  ASSERT_GE(polls.size(), std::size_t(reports + 1));
  ASSERT_GE(shown.size(), std::size_t(reports));
  int late = 0;
  for (int k = 0; k < reports; ++k) {
    SCOPED_TRACE(testing::Message() << "poll " << k);
    EXPECT_EQ(shown[k].first, sent[k].azimuth);
    const bool unitWasLate = polls[k + 1] - sent[k].done < Reaction;
    late += shown[k].second != std::size_t(k);
    if (unitWasLate)
      EXPECT_TRUE(shown[k].second == std::size_t(k) || shown[k].second == std::size_t(k + 1)) << shown[k].second;
    else
      EXPECT_EQ(shown[k].second, std::size_t(k))
          << "the report's last byte left the unit "
          << std::chrono::duration_cast<std::chrono::milliseconds>(polls[k + 1] - sent[k].done).count()
          << " ms before the next poll";
  }
  EXPECT_LT(late, reports) << "every report shown a poll late";
}

INSTANTIATE_TEST_SUITE_P(Lines, PacedUnit,
                         ::testing::Values(Pacing{"line_1200", rotorsim::Delivery::Line, 0, 1200, 500},
                                           Pacing{"line_9600", rotorsim::Delivery::Line, 0, 9600, 200},
                                           Pacing{"line_115200", rotorsim::Delivery::Line, 0, 115200, 200},
                                           Pacing{"chunked_1ms", rotorsim::Delivery::Chunked, 1, 9600, 200},
                                           Pacing{"chunked_16ms", rotorsim::Delivery::Chunked, 16, 9600, 200},
                                           Pacing{"burst", rotorsim::Delivery::Burst, 0, 9600, 200}),
                         [](const ::testing::TestParamInfo<Pacing> &info) { return std::string(info.param.name); });

// ------------------------------------------------------------ random splits

struct Stream {
  std::string bytes;
  std::vector<int32_t> whole; // azimuths of the reports that arrive whole
};

// Reports with, between them, CR answers, noise (any byte but "Z", so noise
// never forms a report start) and reports cut off and followed at once by
// a whole one, as when a unit restarts.
Stream MakeStream(std::mt19937 &rng, int reports) {
  Stream s;
  auto pick = [&](int n) { return int(rng() % uint32_t(n)); };
  auto report = [&](int az) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "AZ=%03d  EL=%03d\r\n", az, pick(181));
    return std::string(buf);
  };
  for (int i = 0; i < reports; ++i) {
    switch (pick(6)) {
    case 0:
      s.bytes += '\r';
      break;
    case 1:
    case 2:
      for (int n = 1 + pick(40); n > 0; --n) {
        char c = char(rng() & 0xFF);
        s.bytes += c == 'Z' ? 'z' : c;
      }
      break;
    case 3:
      s.bytes += report(pick(360)).substr(0, 1 + pick(15));
      break;
    default:
      break;
    }
    const int az = (i * 7) % 360;
    s.bytes += report(az);
    s.whole.push_back(az);
  }
  return s;
}

class RandomSplits : public ::testing::Test, public WindowFixture {
protected:
  void SetUp() override {
    CreateOnFarEnd(5000); // the test plays the unit; polls go unanswered
    ASSERT_TRUE(form->ApdComPort1.Open());
  }
};

TEST_F(RandomSplits, EveryWholeReportIsShownInOrder) {
  for (uint32_t seed : {1u, 2u, 3u, 4u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const Stream stream = MakeStream(rng, 150);
    std::vector<int32_t> shown;
    form->PositionsShown = [&] { shown.push_back(form->Position1); };
    // The far end writes pieces of random size with short random gaps, so
    // the window sees every kind of split: single bytes, a report in two,
    // several items in one delivery.
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
    const bool all = RunEventsUntil([&] { return written && shown.size() >= stream.whole.size(); },
                                    std::chrono::milliseconds(60000));
    writer.join();
    EXPECT_TRUE(all) << shown.size() << " of " << stream.whole.size() << " shown";
    EXPECT_EQ(shown, stream.whole);
    // Nothing but at most an unfinished piece stays behind.
    EXPECT_TRUE(RunEventsUntil([&] { return form->ApdComPort1.PortDispatcher()->ReceivedCount() == 0; }));
    form->PositionsShown = nullptr;
  }
}

} // namespace
