// The device goes away under the running window: while idle, while a
// notification waits for the main thread, and while our output is stalled
// by XOFF. Every time the port's threads end promptly, the loss is reported
// once, nothing spins, the window runs on and picking the port reopens it.
#include "tests/faults/WindowFaults.h"

namespace {

using namespace faults;

class HangUp : public WindowFaults {
protected:
  // What follows every hang-up, whatever was going on at the time.
  void ExpectRecovery(const std::vector<int64_t> &threads, TApdBaseDispatcher * /*lost: may be freed by the close*/) {
    ASSERT_EQ(threads.size(), 4u);
    EXPECT_TRUE(RunEventsUntil([&] { return AllEnded(threads); }, Scaled(1000ms))) << "the port's threads still run";
    // The loss is one line error in the dispatcher; the next poll tick
    // turns it into one message, closes the port and stops polling.
    ASSERT_TRUE(RunEventsUntil([&] { return !boxes.empty(); }, Scaled(5000ms))) << "the loss was not reported";
    EXPECT_FALSE(form->ApdComPort1.Open());
    EXPECT_FALSE(form->Timer1->Enabled());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, QStringLiteral("Port COM1") + form->LanguageTexts[9]);
    EXPECT_FALSE(form->LanguageTexts[9].isEmpty());

    // Nothing spins and nothing more is reported while the port is shut.
    const CpuMeter idle;
    RunEventsFor(Scaled(600ms));
    EXPECT_LT(idle.Share(), 0.35) << "CPU share after the hang-up";
    EXPECT_EQ(boxes.size(), 1u);

    // The device is back: picking the port opens it and polling resumes.
    PtyPair &back = AddFarEnd(1);
    const auto t0 = std::chrono::steady_clock::now();
    ChoosePort(1);
    // A bound on a hang, far above any load's delays, not a speed.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, Scaled(5000ms)) << "close and reopen hung";
    ASSERT_TRUE(form->ApdComPort1.Open());
    EXPECT_TRUE(form->Timer1->Enabled());
    std::string sent;
    ASSERT_TRUE(RunEventsUntil([&] {
      sent += back.Drain();
      return sent.find("C\r") != std::string::npos;
    })) << "no poll on the reopened port";
    ASSERT_TRUE(back.Send(Report(211, 17)));
    EXPECT_TRUE(RunEventsUntil([&] { return form->Label6->text() == QString::fromUtf8("211°"); }));
    EXPECT_EQ(form->Position2, 17);
  }

  TApdBaseDispatcher *Dispatcher() { return form->ApdComPort1.PortDispatcher(); }
};

TEST_F(HangUp, WhileIdle) {
  PtyPair &end = AddFarEnd(1);
  UseConfig(1, 200);
  Create();
  ASSERT_TRUE(form->ApdComPort1.Open());
  std::string sent;
  ASSERT_TRUE(RunEventsUntil([&] {
    sent += end.Drain();
    return sent.find("C\r") != std::string::npos;
  }));
  ASSERT_TRUE(end.Send(Report(45, 0)));
  ASSERT_TRUE(RunEventsUntil([&] { return form->Label6->text() == QString::fromUtf8("45°"); }));

  const auto threads = PortThreads(form->ApdComPort1);
  TApdBaseDispatcher *d = Dispatcher();
  end.HangUp();
  ExpectRecovery(threads, d);
}

TEST_F(HangUp, WhileANotificationWaitsForTheMainThread) {
  PtyPair &end = AddFarEnd(1);
  UseConfig(1, 1000);
  Create();
  ASSERT_TRUE(form->ApdComPort1.Open());
  TApdBaseDispatcher *d = Dispatcher();
  const auto threads = PortThreads(form->ApdComPort1);

  // The main thread handles nothing while the report is announced.
  ASSERT_TRUE(end.Send(Report(90, 10)));
  ASSERT_TRUE(support::WaitFor([&] { return d->IsNotifying(); }, Scaled(2000ms))) << "no notification was waiting";
  end.HangUp();
  ExpectRecovery(threads, d);
}

TEST_F(HangUp, WhileTheReportHandlerReads) {
  PtyPair &end = AddFarEnd(1);
  UseConfig(1, 1000);
  Create();
  ASSERT_TRUE(form->ApdComPort1.Open());
  TApdBaseDispatcher *d = Dispatcher();
  const auto threads = PortThreads(form->ApdComPort1);
  // The device vanishes between the announcement and the reads.
  bool handled = false;
  form->ApdComPort1.OnTriggerAvail = [&](TApdCustomComPort &, uint16_t count) {
    end.HangUp();
    form->ApdComPort1TriggerAvail(count);
    handled = true;
  };
  ASSERT_TRUE(end.Send(Report(77, 7)));
  ASSERT_TRUE(RunEventsUntil([&] { return handled; }));
  EXPECT_EQ(form->Label6->text(), QString::fromUtf8("77°")); // the bytes had arrived
  form->ApdComPort1.OnTriggerAvail = [this](TApdCustomComPort &, uint16_t count) {
    form->ApdComPort1TriggerAvail(count);
  };
  ExpectRecovery(threads, d);
}

TEST_F(HangUp, WhileOutputIsStalledByXoff) {
  PtyPair &end = AddFarEnd(1);
  UseConfig(1, 200);
  Create();
  ASSERT_TRUE(form->ApdComPort1.Open());
  form->ApdComPort1.SetSWFlowOptions(swfTransmit);
  TApdBaseDispatcher *d = Dispatcher();
  const auto threads = PortThreads(form->ApdComPort1);

  ASSERT_TRUE(end.Send("\x13"));
  ASSERT_TRUE(RunEventsUntil([&] { return end.Unread() == 0; })) << "XOFF not taken";
  // Write until the kernel holds no more and the rest waits in our ring.
  // At least three rounds: on a loaded machine the line discipline may take
  // the XOFF only after the first bytes went, and a slow write thread leaves
  // bytes in the ring for a moment either way.
  size_t written = 0;
  bool stalled = false;
  for (int round = 0; round < 40 && !stalled; ++round) {
    Guarded([&] {
      for (int i = 0; i < 1000; ++i, ++written)
        form->ApdComPort1.WriteChar('S');
    });
    RunEventsFor(Scaled(50ms));
    stalled = round >= 2 && d->TransmitBufferUsed() > 0;
  }
  boxes.clear(); // a full ring is refused with a message; not what is tested here
  EXPECT_TRUE(stalled) << "output did not stall after " << written << " bytes";
  EXPECT_LT(end.Drain().size(), written) << "XOFF did not hold our output";

  end.HangUp();
  ExpectRecovery(threads, d);
}

} // namespace
