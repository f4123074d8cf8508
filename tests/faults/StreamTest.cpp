// Garbage and random byte streams into the running window's report handler:
// every byte is accounted for, nothing piles up, the labels stay numbers, no
// message appears, and a clean report afterwards is recognised again.
#include "tests/faults/ReportStream.h"
#include "tests/faults/WindowFaults.h"

#include <atomic>
#include <fstream>
#include <random>
#include <thread>

namespace {

using namespace faults;

class Streams : public WindowFaults {
protected:
  void SetUp() override {
    end = &AddFarEnd(1);
    UseConfig(1, 5000); // the test plays the unit; the poll stays out of the way
    Create();
    ASSERT_TRUE(form->ApdComPort1.Open());
    stream = std::make_unique<ReportStream>(*form, *end);
  }
  void TearDown() override {
    stream.reset();
    WindowFaults::TearDown();
  }

  // After any garbage a clean report is shown within a few tries (the first
  // may join bytes left waiting and be read out of alignment).
  void ExpectReportRecognised(int az, int el) {
    const QString want = QString::number(az) + QChar(0x00B0);
    for (int attempt = 0; attempt < 4 && form->Label6->text() != want; ++attempt) {
      stream->Piece(Report(az, el));
      ASSERT_EQ(stream->Settle(), "");
    }
    EXPECT_EQ(form->Label6->text(), want);
    EXPECT_EQ(form->Position2, el);
  }

  void ExpectSound() {
    EXPECT_TRUE(ShowsDegrees(form->Label6)) << form->Label6->text().toStdString();
    EXPECT_TRUE(ShowsDegrees(form->Label7)) << form->Label7->text().toStdString();
    for (const Box &b : boxes)
      ADD_FAILURE() << "box: " << b.text.toStdString();
  }

  PtyPair *end = nullptr;
  std::unique_ptr<ReportStream> stream;
};

TEST_F(Streams, Garbage) {
  const std::string report = Report(123, 45);
  struct Case {
    const char *name;
    std::string bytes;
  } cases[] = {
      {"line ends only", std::string(40, '\r') + std::string(40, '\n')},
      {"zero and high bytes", std::string(33, '\0') + std::string(33, '\xFF')},
      {"reports without line ends", "AZ=111  EL=011AZ=222  EL=022AZ=333  EL=033"},
      {"letters where digits go", "AZ=ABC  EL=DEF\r\nAZ=-1-  EL=+++\r\n"},
      {"report cut short", report.substr(0, 9) + report.substr(0, 12)},
      {"one long line", std::string(5000, 'A')},
      {"more than the ring", std::string(9000, 'Z')},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    stream->Piece(c.bytes);
    ASSERT_EQ(stream->Settle(), "");
    ExpectSound();
    ExpectReportRecognised(200, 30);
  }
}

// The LF of a CR LF that comes in a later delivery joins its traced line;
// the check that every byte is traced once must count it all the same.
TEST_F(Streams, ALateLineEndJoinsItsLineAndIsCountedOnce) {
  stream->Piece("AZ=359\r");
  ASSERT_EQ(stream->Settle(), "");
  stream->Piece("\n");
  stream->Piece("AZ=100\r\n");
  ASSERT_TRUE(RunEventsUntil([&] { return form->Label6->text() == QStringLiteral("100\u00B0"); }, Scaled(5000ms)));
  ASSERT_EQ(stream->Settle(), "");
  const QTextBlock last = form->Memo1->document()->lastBlock();
  EXPECT_EQ(last.previous().text().toStdString(), "65 90 61 51 53 57 13 10 ");
  EXPECT_EQ(last.text().toStdString(), "65 90 61 49 48 48 13 10 ");
  EXPECT_TRUE(boxes.empty());
}

TEST_F(Streams, RandomStreamsSplitAtRandomPoints) {
#if defined(ZK_SANITIZED)
  const int streams = 6;
#else
  const int streams = 20;
#endif
  for (int seed = 1; seed <= streams; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng{uint32_t(seed)};
    // Random bytes with real reports mixed in, so both paths get exercised.
    std::string bytes;
    const int length = std::uniform_int_distribution<int>(1, 600)(rng);
    while (int(bytes.size()) < length) {
      if (rng() % 4 == 0)
        bytes += Report(int(rng() % 361), int(rng() % 181));
      else
        bytes += char(rng() & 0xFF);
    }
    size_t at = 0;
    while (at < bytes.size()) {
      const size_t piece = std::uniform_int_distribution<size_t>(1, 40)(rng);
      stream->Piece(bytes.substr(at, piece));
      at += piece;
    }
    ASSERT_EQ(stream->Settle(), "");
    ExpectSound();
    ExpectReportRecognised(int(rng() % 361), int(rng() % 181));
  }
}

// No byte that could begin a report, so every byte is read and traced.
std::string Garbage(std::mt19937 &rng, size_t n) {
  std::string s(n, '\0');
  for (char &c : s)
    do
      c = char(rng() & 0xFF);
    while (c == 'A');
  return s;
}

#if !defined(ZK_SANITIZED)
// Anonymous resident memory of this process (the heap and the like). The
// libraries' pages are left out: on a busy machine the kernel drops and
// reloads them at will.
size_t ResidentBytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("RssAnon:", 0) == 0)
      return size_t(std::stoull(line.substr(8))) << 10;
  ADD_FAILURE() << "no RssAnon in /proc/self/status";
  return 0;
}

// Garbage at full speed for a long while: the trace keeps its newest lines
// only, and once it is full the program's memory stays where it was.
TEST_F(Streams, LongFloodLeavesMemoryFlat) {
  std::mt19937 rng(5);
  const std::string round = Garbage(rng, size_t(1) << 20);
  auto pour = [&](const std::string &bytes) {
    support::Flood f(*end, bytes);
    EXPECT_TRUE(RunEventsUntil([&] { return f.Sent() == bytes.size(); }, Scaled(120000ms)))
        << "sent " << f.Sent() << " of " << bytes.size();
    stream->AddSent(f.Sent());
    EXPECT_EQ(stream->Settle(), "");
  };
  // At full speed the lines are long: it takes some megabytes to fill the
  // trace, and one more round for every line to be a flood's line.
  for (int i = 0; i < 30 && form->Memo1->document()->blockCount() < TraceLineLimit; ++i)
    pour(round);
  ASSERT_EQ(form->Memo1->document()->blockCount(), TraceLineLimit);
  pour(round);
  const size_t before = ResidentBytes();
  const size_t textBefore = size_t(form->Memo1->document()->characterCount());

  const int rounds = 4;
  for (int i = 0; i < rounds; ++i)
    pour(round);
  const size_t after = ResidentBytes();
  const size_t textAfter = size_t(form->Memo1->document()->characterCount());
  EXPECT_EQ(form->Memo1->document()->blockCount(), TraceLineLimit);
  // Kept lines would grow by several bytes per byte flooded (four characters
  // of trace for each); two bytes per byte leaves room for noise. A line is
  // what one read took, so on a busy machine the same number of lines holds
  // more text: that text is allowed for, at what the document may hold per
  // character (two bytes, twice over before it compacts, and its growth).
  const size_t flooded = round.size() * rounds;
  const size_t longerLines = textAfter > textBefore ? (textAfter - textBefore) * 8 : 0;
  EXPECT_LT(after, before + flooded * 2 + longerLines)
      << "resident " << (before >> 20) << " MB before, " << (after >> 20) << " MB after " << (flooded >> 20)
      << " MB of garbage; trace " << textBefore << " characters before, " << textAfter << " after";
  ExpectSound();
  ExpectReportRecognised(10, 20);
}
#else
// Under the sanitizers resident memory says little (freed memory is held
// back on purpose) and a flood big enough to fill the trace takes too long:
// the trace's limit is checked with many small pieces instead.
TEST_F(Streams, TraceKeepsItsNewestLinesOnly) {
  std::mt19937 rng(5);
  // Each piece read before the next is sent: a line each.
  for (int i = 0; i < 3 * TraceLineLimit / 2; ++i) {
    stream->Piece(Garbage(rng, 20));
    ASSERT_EQ(stream->Settle(), "");
  }
  EXPECT_EQ(form->Memo1->document()->blockCount(), TraceLineLimit);
  ExpectSound();
  ExpectReportRecognised(10, 20);
}
#endif

} // namespace
