// Garbage and random byte streams into the running window's report handler:
// every byte is accounted for, nothing piles up, the labels stay numbers, no
// message appears, and a clean report afterwards is recognised again.
#include "tests/faults/ReportStream.h"
#include "tests/faults/WindowFaults.h"

#include <random>

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

  FarEnd *end = nullptr;
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

TEST_F(Streams, RandomStreamsSplitAtRandomPoints) {
#if defined(ZK_FAULTS_SLOW)
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

} // namespace
