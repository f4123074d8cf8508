#include "comport/OoMisc.h"
#include "comport/MainThreadPump.h"
#include "comport/AdPort.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/Messages.h"
#include "runtime/SysUtils.h"
#include "tests/support/Ports.h"
#include "tests/support/PtyPair.h"
#include "tests/support/EventLoop.h"

namespace {

QCoreApplication &App() {
  static int argc = 1;
  static char name[] = "oomisc_tests";
  static char *argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
  return app;
}

std::atomic<int> gCalls{0};
std::atomic<bool> gOnMain{true};

platform::LRESULT CountProc(platform::HWND, uint32_t, platform::WPARAM w, platform::LPARAM) {
  ++gCalls;
  if (!IsMainThread())
    gOnMain = false;
  return platform::LRESULT(w) * 2;
}

platform::HWND MainWindow() {
  static bool reg = platform::RegisterWindowClass("oomiscTest", CountProc);
  (void)reg;
  return platform::CreateHiddenWindow("oomiscTest", nullptr);
}

} // namespace

TEST(OoMisc, TickTimersCountFiftyFiveMsTicks) {
  TTickTimer t;
  // The clock may pass a tick boundary between the start and our reading.
  const uint32_t before = MillisecondClock();
  StartTickTimer(t, 0);
  uint32_t now = MillisecondClock();
  EXPECT_GE(t.StartTicks, int32_t(before / 55)) << "start is the clock in ticks";
  EXPECT_LE(t.StartTicks, int32_t(now / 55)) << "start is the clock in ticks";
  StartTickTimer(t, 1000000);
  EXPECT_FALSE(TickTimerExpired(t));
  StartTickTimer(t, 50000000); // capped at one turn of the clock
  EXPECT_EQ(t.ExpireTicks - t.StartTicks, 39045157);
  t.StartTicks = int32_t(now / 55) - 10;
  t.ExpireTicks = int32_t(now / 55) - 5;
  EXPECT_TRUE(TickTimerExpired(t));
}

TEST(OoMisc, FileNameExists) {
  auto path = std::filesystem::temp_directory_path() / "oomisc_exists.txt";
  std::filesystem::remove(path);
  EXPECT_FALSE(FileNameExists(path.c_str()));
  std::ofstream(path) << "x";
  EXPECT_TRUE(FileNameExists(path.c_str()));
  std::filesystem::remove(path);
  EXPECT_FALSE(FileNameExists(""));
  EXPECT_FALSE(FileNameExists(nullptr));
}

TEST(OoMisc, TimerResolutionRequestsStayBalanced) {
  int before = TimerResolutionRequests();
  EXPECT_GE(before, 1); // held for the whole run
  RequestTimerResolution();
  EXPECT_EQ(TimerResolutionRequests(), before + 1);
  ReleaseTimerResolution();
  ReleaseTimerResolution(); // an extra release does not go negative
  EXPECT_EQ(TimerResolutionRequests(), std::max(before - 1, 0));
}

TEST(OoMisc, ProcessOneMessageTakesOneAtATime) {
  platform::HWND w = MainWindow();
  gCalls = 0;
  EXPECT_EQ(ProcessOneMessage(), 0);
  platform::PostMessage(w, 1, 0, 0);
  platform::PostMessage(w, 2, 0, 0);
  EXPECT_EQ(ProcessOneMessage(), 1);
  EXPECT_EQ(gCalls.load(), 1);
  EXPECT_EQ(ProcessOneMessage(), 1);
  EXPECT_EQ(ProcessOneMessage(), 0);
  platform::DestroyHiddenWindow(w);
}

TEST(OoMisc, EventLoopDeliversMessagesSentFromOtherThreads) {
  App();
  MainThreadPump::Install();
  MainThreadPump::Install(); // twice is harmless
  ASSERT_TRUE(MainThreadPump::Installed());
  platform::HWND w = MainWindow();
  gCalls = 0;
  gOnMain = true;
  std::atomic<int> answered{0};
  std::thread sender([&] {
    for (int i = 0; i < 20; ++i) {
      platform::LRESULT r = 0;
      if (platform::SendMessageTimeout(w, 5, i, 0, 3000, &r) && r == i * 2)
        ++answered;
      platform::PostMessage(w, 6, 0, 0);
    }
  });
  // Only Qt's loop runs here: the bridge must take the messages.
  ASSERT_TRUE(support::RunEventsUntil([&] { return gCalls.load() == 40; }));
  sender.join();
  EXPECT_EQ(answered.load(), 20);
  EXPECT_TRUE(gOnMain.load());
  platform::DestroyHiddenWindow(w);
  MainThreadPump::Uninstall();
  EXPECT_FALSE(MainThreadPump::Installed());
}

TEST(OoMisc, ExceptionsFromOtherThreadsReachTheDisplayOnTheMainThread) {
  App();
  std::vector<std::string> shown;
  std::atomic<bool> wrongThread{false};
  SetApplicationExceptionDisplay([&](const std::exception &e) {
    if (!IsMainThread())
      wrongThread = true;
    shown.push_back(e.what());
  });
  ShowApplicationException(Exception("on main"));
  EXPECT_EQ(shown.size(), 1u);
  MainThreadPump::Install();
  std::thread t([] { ShowApplicationException(Exception("from a thread")); });
  t.join();
  ASSERT_TRUE(support::RunEventsUntil([&] { return shown.size() == 2; }));
  EXPECT_EQ(shown[1], "from a thread");
  EXPECT_FALSE(wrongThread.load());
  MainThreadPump::Uninstall();
  SetApplicationExceptionDisplay({});
}

TEST(OoMisc, BaseComponentVersionIsFixed) {
  TApdBaseComponent c;
  c.SetVersion("v9");
  EXPECT_EQ(c.Version(), "v4.07");
}

TEST(OoMisc, PortEventsArriveThroughTheEventLoop) {
  App();
  MainThreadPump::Install();
  support::PtyPair peer(support::ComEntry(30));
  std::string got;
  TApdComPort p;
  p.OnTriggerAvail = [&](TApdCustomComPort &cp, uint16_t count) {
    for (int i = 0; i < count; ++i)
      got += cp.ReadChar();
  };
  p.SetComNumber(30);
  p.SetOpen(true);
  peer.Send("AZ=001  EL=002\r\n");
  ASSERT_TRUE(support::RunEventsUntil([&] { return got.size() == 16; }));
  EXPECT_EQ(got, "AZ=001  EL=002\r\n");
  // A close asked for inside the event completes from the loop as well.
  p.OnTriggerAvail = [&](TApdCustomComPort &cp, uint16_t) { cp.SetOpen(false); };
  peer.Send("x");
  ASSERT_TRUE(support::RunEventsUntil([&] { return p.Phase() == ppClosed; }));
  EXPECT_FALSE(p.Open());
  MainThreadPump::Uninstall();
}
