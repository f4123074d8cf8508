// The device goes away and comes back: a unit restarted on the same link, an
// adapter that returns under another device name behind a by-id link, a
// command whose pause outlives the device, and a thousand quiet retries.
#include "tests/faults/WindowFaults.h"

#include "rotorsim/RotorSim.h"

namespace {

using namespace faults;

class Reconnect : public ::testing::Test, public WindowFixture {
protected:
  void TearDown() override {
    form.reset();
    units.clear();
  }

  // The unit goes as an unplugged adapter does: the link stays behind,
  // pointing at nothing (without it the port would mean /dev/ttyS0). Not at
  // the old device name: a test running beside this one may get that
  // pseudo-terminal number next, and our retries would take its port.
  void Unplug(rotorsim::PtyServer &unit, const fs::path &link) {
    const std::string device = unit.devicePath();
    unit.hangUp();
    std::error_code ec;
    fs::remove(link, ec);
    fs::create_symlink(device + "-unplugged", link);
  }
  rotorsim::PtyServer &StartUnit(const fs::path &link, int az) {
    rotorsim::Options o;
    o.startAz = az;
    rotorsim::ServerOptions so;
    so.linkPath = link.string(); // empty: no link
    units.push_back(std::make_unique<rotorsim::PtyServer>(o, so));
    return *units.back();
  }
  void StartWindow(int pollMs) {
    SetConfig(CrLf({"1", "EN", std::to_string(pollMs).c_str(), "10", "0", "0", "1", "50", "50"}));
    Create();
    ASSERT_TRUE(form->ApdComPort1.Open());
  }
  bool Shows(int az) {
    return RunEventsUntil([&] { return form->Label6->text() == QString::number(az) + QChar(0x00B0); }, Scaled(15000ms));
  }
  QString LostText() const { return QStringLiteral("Port COM1") + form->LanguageTexts[9]; }
  // Lost once, greyed, waiting for the device.
  void ExpectWaiting() {
    ASSERT_TRUE(RunEventsUntil([&] { return !boxes.empty(); }, Scaled(5000ms))) << "the loss was not reported";
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, LostText());
    EXPECT_FALSE(form->ApdComPort1.Open());
    EXPECT_TRUE(form->WaitingForDevice());
    EXPECT_FALSE(form->Label6->isEnabled());
    EXPECT_EQ(form->Label6->toolTip(), "waiting for COM1");
  }
  // Back and polling, without a word.
  void ExpectBack(int az) {
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(Shows(az)) << "still " << form->Label6->text().toStdString();
    std::printf("polls resumed %.0f ms after the new unit came\n",
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    EXPECT_TRUE(form->ApdComPort1.Open());
    EXPECT_FALSE(form->WaitingForDevice());
    EXPECT_TRUE(form->Label6->isEnabled());
    EXPECT_EQ(form->Label6->toolTip(), "");
    EXPECT_EQ(boxes.size(), 1u) << "the retries must not speak";
  }

  std::vector<std::unique_ptr<rotorsim::PtyServer>> units;
};

TEST_F(Reconnect, ANewUnitOnTheSameLinkIsFoundAgain) {
  StartUnit(dir / "COM1", 100);
  StartWindow(200);
  ASSERT_TRUE(Shows(100));
  Unplug(*units[0], dir / "COM1");
  ExpectWaiting();
  EXPECT_EQ(form->Label6->text(), QString::fromUtf8("100°")); // the old value stays, greyed
  StartUnit(dir / "COM1", 200);
  ExpectBack(200);
  // The settings are the ones from before: the same poll period.
  EXPECT_EQ(form->Timer1->Interval(), 200);
  EXPECT_TRUE(form->Timer1->Enabled());
}

TEST_F(Reconnect, AnAdapterBackUnderAnotherNameBehindItsByIdLink) {
  const fs::path byId = dir / "serial" / "by-id" / "usb-Rotor_Interface-if00-port0";
  fs::create_directories(byId.parent_path());
  const std::string first = StartUnit(byId, 30).devicePath();
  fs::create_symlink(byId, dir / "COM1");
  StartWindow(200);
  ASSERT_TRUE(Shows(30));
  // The adapter comes back as another device while the old one is still
  // being torn down, and the by-id name is pointed at it anew.
  const std::string second = StartUnit({}, 60).devicePath();
  units[0]->hangUp(); // its by-id link goes with it
  ExpectWaiting();
  EXPECT_NE(first, second);
  fs::create_symlink(second, byId);
  ExpectBack(60);
}

TEST_F(Reconnect, ACommandOnALostDeviceNamesTheLoss) {
  struct Case {
    const char *name;
    void (TForm1::*click)();
  } cases[] = {{"STOP", &TForm1::Button5Click}, {"GO", &TForm1::Button2Click}, {"PARK", &TForm1::Button8Click}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    StartUnit(dir / "COM1", 45);
    StartWindow(1000);
    ASSERT_TRUE(Shows(45));
    // The device goes away during the command's pause.
    form->Pause = [&](int) {
      Unplug(*units.back(), dir / "COM1");
      support::WaitFor([&] { return form->ApdComPort1.DeviceLost(); }, Scaled(5000ms));
    };
    Guarded([&] { (form.get()->*c.click)(); });
    ExpectWaiting();
    // And again: the port is shut, nothing more is said.
    form->Pause = [](int) {};
    Guarded([&] { (form.get()->*c.click)(); });
    EXPECT_EQ(boxes.size(), 1u) << boxes.back().text.toStdString();
    form.reset();
    units.clear();
    boxes.clear();
  }
}

TEST_F(Reconnect, RetriesAreQuietAndLeakNothing) {
  StartUnit(dir / "COM1", 10);
  StartWindow(200);
  ASSERT_TRUE(Shows(10));
  Unplug(*units[0], dir / "COM1");
  ExpectWaiting();
  const int fds = OpenDescriptors();
  const int threads = LiveThreads();
  const auto cpu0 = ProcessCpu();
  for (int i = 0; i < 1000; ++i)
    form->ReconnectTimerTimer();
  std::printf("a failed retry costs %.1f us of CPU\n",
              std::chrono::duration<double, std::micro>(ProcessCpu() - cpu0).count() / 1000);
  EXPECT_EQ(OpenDescriptors(), fds);
  EXPECT_TRUE(RunEventsUntil([&] { return LiveThreads() == threads; }, Scaled(2000ms)));
  EXPECT_TRUE(form->WaitingForDevice());
  EXPECT_EQ(boxes.size(), 1u);
  // Waiting costs next to nothing: a try every two seconds.
  const CpuMeter idle;
  RunEventsFor(Scaled(4500ms));
  EXPECT_LT(idle.Share(), 0.05 * support::kSlowFactor) << "CPU share while waiting";
  EXPECT_EQ(boxes.size(), 1u);
}

TEST_F(Reconnect, ChoosingAnotherPortEndsTheWait) {
  StartUnit(dir / "COM1", 10);
  StartWindow(200);
  ASSERT_TRUE(Shows(10));
  Unplug(*units[0], dir / "COM1");
  ExpectWaiting();
  StartUnit(dir / "COM2", 250);
  form->ComboBox1->setEditText("2");
  ASSERT_TRUE(form->ApdComPort1.Open());
  EXPECT_FALSE(form->WaitingForDevice());
  EXPECT_TRUE(Shows(250));
  // A unit on the old port no longer pulls the window back.
  StartUnit(dir / "COM1", 111);
  RunEventsFor(Scaled(2500ms));
  EXPECT_EQ(form->ApdComPort1.ComNumber(), 2);
  EXPECT_EQ(form->Label6->text(), QString::fromUtf8("250°"));
}

} // namespace
