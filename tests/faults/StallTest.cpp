// A rotator that is told to move but does not: the window stops it once and
// says so; one that moves, or sits still because nobody asked, is left alone.
// These run on the real limits (ten seconds), so each takes that long.
#include "tests/faults/WindowFaults.h"

#include "rotorsim/RotorSim.h"

namespace {

using namespace faults;

class Stall : public ::testing::Test, public WindowFixture {
protected:
  void TearDown() override {
    form.reset();
    unit.reset();
  }
  void Start(int az, bool jammed) {
    rotorsim::Options o;
    o.startAz = az;
    o.faults.stall = jammed;
    rotorsim::ServerOptions so;
    so.linkPath = (dir / "COM1").string();
    unit = std::make_unique<rotorsim::PtyServer>(o, so);
    SetConfig(CrLf({"1", "EN", "200", "10", "0", "0", "1", "50", "50"}));
    Create();
    ASSERT_TRUE(form->ApdComPort1.Open());
    ASSERT_TRUE(
        RunEventsUntil([&] { return form->Label6->text() == QString::number(az) + QChar(0x00B0); }, Scaled(5000ms)));
  }
  int Count(rotorsim::Command c) {
    int n = 0;
    for (const auto &rec : unit->commands())
      n += rec.command == c;
    return n;
  }
  // Waits for the guard's stop; returns how long after the command it came.
  // From before the click to the stop's arrival: that span holds the one the
  // guard keeps, whatever the delays on either side.
  double WaitForTheStop(std::chrono::steady_clock::time_point since) {
    EXPECT_TRUE(
        RunEventsUntil([&] { return Count(rotorsim::Command::StopAz) > 0 && !boxes.empty(); }, Scaled(30000ms)));
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
  }
  void ExpectOneStopAndOneMessage() {
    EXPECT_EQ(Count(rotorsim::Command::StopAz), 1);
    EXPECT_EQ(Count(rotorsim::Command::StopBoth), 0);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, form->LanguageTexts[10]);
    EXPECT_FALSE(form->LanguageTexts[10].isEmpty());
    // Said once: the guard is off until the next command.
    EXPECT_FALSE(form->AzimuthGuard.Armed());
    EXPECT_TRUE(form->Timer1->Enabled()) << "polling goes on after the stop";
  }

  std::unique_ptr<rotorsim::PtyServer> unit;
};

TEST_F(Stall, AJammedRotatorIsStoppedOnceAfterTheLimit) {
  Start(10, true);
  SetFieldValue(form->PBNumEdit1, 90);
  const auto t0 = std::chrono::steady_clock::now();
  Guarded([&] { form->Button2Click(); });
  const double after = WaitForTheStop(t0);
  std::printf("stopped %.1f s after the move\n", after);
  EXPECT_GE(after, double(StallGuard::Window.count()));
  ExpectOneStopAndOneMessage();
  EXPECT_EQ(Count(rotorsim::Command::MoveAz), 1);
}

TEST_F(Stall, ATurnAtItsEndStopIsStopped) {
  Start(360, false);
  const auto t0 = std::chrono::steady_clock::now();
  Guarded([&] { form->Button11Click(); }); // clockwise, already at the end
  const double after = WaitForTheStop(t0);
  EXPECT_GE(after, double(StallGuard::Window.count()));
  ExpectOneStopAndOneMessage();
}

TEST_F(Stall, ARotatorThatMovesIsNeverStopped) {
  // Eleven seconds on the way at six degrees a second: longer than the limit.
  Start(0, false);
  SetFieldValue(form->PBNumEdit1, 66);
  Guarded([&] { form->Button2Click(); });
  ASSERT_TRUE(RunEventsUntil([&] { return form->Position1 == 66; }, Scaled(30000ms)));
  EXPECT_TRUE(RunEventsUntil([&] { return !form->AzimuthGuard.Armed(); }));
  EXPECT_EQ(Count(rotorsim::Command::StopAz), 0);
  EXPECT_TRUE(boxes.empty());
}

} // namespace
