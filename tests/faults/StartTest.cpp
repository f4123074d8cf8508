// A port that is busy or missing when the program starts: one message per
// attempt, nothing left behind by the failed opens, and picking the port once
// it is free (or plugged in) opens it.
#include "tests/faults/WindowFaults.h"

#include <sys/file.h>

namespace {

using namespace faults;

class StartFaults : public WindowFaults {
protected:
  // Attempts while the port cannot be had leave no descriptor or thread.
  // `why` is the second line of the message, if it has one.
  void ExpectFailedAttemptsLeakNothing(int com, const QString &why = {}) {
    ASSERT_EQ(boxes.size(), 1u);
    const QString message =
        "Port COM" + QString::number(com) + " cannot be opened!" + (why.isEmpty() ? "" : "\n" + why);
    EXPECT_EQ(boxes[0].text, message);
    EXPECT_FALSE(form->ApdComPort1.Open());
    EXPECT_FALSE(form->Timer1->Enabled());
    const int fds = OpenDescriptors();
    const int threads = LiveThreads();
    for (int i = 0; i < 5; ++i)
      ChoosePort(com);
    ASSERT_EQ(boxes.size(), 6u);
    for (const Box &b : boxes)
      EXPECT_EQ(b.text, message);
    EXPECT_EQ(OpenDescriptors(), fds);
    EXPECT_EQ(LiveThreads(), threads);
    EXPECT_FALSE(form->ApdComPort1.Open());
  }
  void ExpectPolling(PtyPair &end) {
    ASSERT_TRUE(form->ApdComPort1.Open());
    EXPECT_TRUE(form->Timer1->Enabled());
    std::string sent;
    EXPECT_TRUE(RunEventsUntil([&] {
      sent += end.Drain();
      return sent.find("C\r") != std::string::npos;
    })) << "no poll";
    ASSERT_TRUE(end.Send(Report(300, 0)));
    EXPECT_TRUE(RunEventsUntil([&] { return form->Label6->text() == QString::fromUtf8("300°"); }));
  }
};

TEST_F(StartFaults, BusyPortThenFreed) {
  PtyPair &end = AddFarEnd(1);
  const int holder = ::open((dir / "COM1").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  UseConfig(1, 200);
  Create();
  ExpectFailedAttemptsLeakNothing(1,
                                  "Another program holds the device (ModemManager or brltty often take USB adapters).");

  ::close(holder);
  ChoosePort(1);
  EXPECT_EQ(boxes.size(), 6u);
  ExpectPolling(end);
}

TEST_F(StartFaults, MissingPortThenPluggedIn) {
  fs::create_symlink(dir / "no-such-device", dir / "COM5");
  UseConfig(5, 200);
  Create();
  ExpectFailedAttemptsLeakNothing(5);

  PtyPair &end = AddFarEnd(5);
  ChoosePort(5);
  EXPECT_EQ(boxes.size(), 6u);
  ExpectPolling(end);
}

} // namespace
