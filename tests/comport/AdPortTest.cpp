// The port component on pseudo-terminal peers, with this (main) thread
// pumping the hidden window's messages.
#include "comport/AdPort.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "errors/AdExcept.h"
#include "tests/support/MessagePump.h"
#include "tests/support/Ports.h"
#include "tests/support/PtyPair.h"
#include "tests/dispatcher/ExposedDispatcher.h"

using namespace support;

namespace {

// Collects what reaches the application's exception display.
struct ShownErrors {
  std::vector<std::string> messages;
  ShownErrors() {
    SetApplicationExceptionDisplay([this](const std::exception &e) { messages.push_back(e.what()); });
  }
  ~ShownErrors() { SetApplicationExceptionDisplay({}); }
};

struct AvailLog {
  std::vector<uint16_t> counts;
  std::vector<std::string> reads;
};

// A port whose dispatcher lets the test look into its state and set it.
class ProbedPort : public TApdComPort {
public:
  ExposedDispatcher *Probe() const { return static_cast<ExposedDispatcher *>(PortDispatcher()); }

protected:
  std::unique_ptr<TApdBaseDispatcher> CreateDispatcher() override {
    if (DeviceLayer() != dlWin32)
      return TApdComPort::CreateDispatcher();
    return std::make_unique<ExposedDispatcher>(this);
  }
};

} // namespace

// ---------------------------------------------------------------- closed port

TEST(PortClosed, Defaults) {
  TApdComPort p;
  EXPECT_EQ(p.Version(), "v4.07");
  EXPECT_EQ(p.DeviceLayer(), dlWin32);
  EXPECT_EQ(p.ComNumber(), 0);
  EXPECT_EQ(p.Baud(), 19200);
  EXPECT_TRUE(p.PromptForPort());
  EXPECT_EQ(p.Parity(), pNone);
  EXPECT_EQ(p.DataBits(), 8);
  EXPECT_EQ(p.StopBits(), 1);
  EXPECT_EQ(p.InSize(), 4096);
  EXPECT_EQ(p.OutSize(), 4096);
  EXPECT_TRUE(p.AutoOpen());
  EXPECT_FALSE(p.Open());
  EXPECT_TRUE(p.DTR());
  EXPECT_TRUE(p.RTS());
  EXPECT_TRUE(p.HWFlowOptions().Empty());
  EXPECT_EQ(p.SWFlowOptions(), swfNone);
  EXPECT_EQ(p.XOnChar(), 17);
  EXPECT_EQ(p.XOffChar(), 19);
  EXPECT_EQ(p.BufferFull(), 0);
  EXPECT_EQ(p.BufferResume(), 0);
  EXPECT_EQ(p.Tracing(), tlOff);
  EXPECT_EQ(p.TraceSize(), 10000u);
  EXPECT_EQ(p.TraceName(), "Korvu.TRC");
  EXPECT_TRUE(p.TraceHex());
  EXPECT_FALSE(p.TraceAllHex());
  EXPECT_EQ(p.Logging(), tlOff);
  EXPECT_EQ(p.LogSize(), 10000u);
  EXPECT_EQ(p.LogName(), "Korvu.LOG");
  EXPECT_TRUE(p.UseEventWord());
  EXPECT_EQ(p.CommNotificationLevel(), 10);
  EXPECT_EQ(p.TapiMode(), tmAuto);
  EXPECT_FALSE(p.RS485Mode());
  EXPECT_EQ(p.AvailThreshold(), 1);
  EXPECT_EQ(p.ThreadBoostLevel(), 0);
  EXPECT_EQ(p.Phase(), ppClosed);
  EXPECT_EQ(p.PortDispatcher(), nullptr);
}

TEST(PortClosed, FlowThresholds) {
  struct Case {
    const char *what;
    std::function<void(TApdComPort &)> act;
    uint16_t full, resume;
  };
  const Case cases[] = {
      {"hardware flow from zero", [](TApdComPort &p) { p.SetHWFlowOptions({hwfUseRTS}); }, 3686, 409},
      {"software flow from zero", [](TApdComPort &p) { p.SetSWFlowOptions(swfBoth); }, 3072, 1024},
      {"full above in size, no flow", [](TApdComPort &p) { p.SetBufferFull(5000); }, 4500, 0},
      {"full above in size, hardware flow",
       [](TApdComPort &p) {
         p.SetHWFlowOptions({hwfUseDTR});
         p.SetBufferFull(5000);
       },
       3686, 409},
      {"resume above full",
       [](TApdComPort &p) {
         p.SetBufferFull(1000);
         p.SetBufferResume(2000);
       },
       1000, 100},
      {"own thresholds kept",
       [](TApdComPort &p) {
         p.SetBufferFull(2000);
         p.SetBufferResume(100);
         p.SetSWFlowOptions(swfReceive);
       },
       2000, 100},
      {"hardware flow off leaves thresholds",
       [](TApdComPort &p) {
         p.SetHWFlowOptions({hwfRequireDSR});
         p.SetHWFlowOptions({});
       },
       3686, 409},
  };
  for (const auto &c : cases) {
    TApdComPort p;
    c.act(p);
    EXPECT_EQ(p.BufferFull(), c.full) << c.what;
    EXPECT_EQ(p.BufferResume(), c.resume) << c.what;
  }
}

TEST(PortClosed, LimitsAndFixedProperties) {
  TApdComPort p;
  p.SetTraceSize(4000001);
  EXPECT_EQ(p.TraceSize(), 4000000u);
  p.SetLogSize(16000001);
  EXPECT_EQ(p.LogSize(), 16000000u);
  p.SetUseMSRShadow(false);
  EXPECT_TRUE(p.UseMSRShadow());
  p.SetDeviceLayer(dlWinsock);
  EXPECT_EQ(p.DeviceLayer(), dlWin32);
  p.SetTraceName(std::string(300, 'x'));
  EXPECT_EQ(p.TraceName().size(), 255u);
  // Closed: only on and off survive.
  const TTraceLogState states[] = {tlOn, tlDump, tlAppend, tlClear, tlPause, tlAppendAndContinue, tlOff};
  const TTraceLogState stored[] = {tlOn, tlOff, tlOff, tlOff, tlOff, tlOff, tlOff};
  for (size_t i = 0; i < std::size(states); ++i) {
    TApdComPort q;
    q.SetTracing(states[i]);
    q.SetLogging(states[i]);
    EXPECT_EQ(q.Tracing(), stored[i]) << i;
    EXPECT_EQ(q.Logging(), stored[i]) << i;
  }
}

TEST(PortClosed, Rs485AndRtsCtsFlowExcludeEachOther) {
  TApdComPort p;
  p.SetHWFlowOptions({hwfUseDTR, hwfUseRTS});
  p.SetRS485Mode(true);
  EXPECT_TRUE(p.RS485Mode());
  EXPECT_EQ(p.HWFlowOptions(), (THWFlowOptionSet{hwfUseDTR}));
  EXPECT_FALSE(p.RTS());
  p.SetHWFlowOptions({hwfRequireCTS});
  EXPECT_FALSE(p.RS485Mode());
  p.SetRS485Mode(true);
  p.SetHWFlowOptions({hwfRequireDSR}); // no RTS/CTS: stays on
  EXPECT_TRUE(p.RS485Mode());
}

TEST(PortClosed, OpenFailuresWithoutPortNumber) {
  for (bool prompt : {false, true}) {
    TApdComPort p;
    p.SetPromptForPort(prompt);
    int opened = 0;
    p.OnPortOpen = [&](TApdCustomComPort &) { ++opened; };
    EXPECT_THROW(p.SetOpen(true), ENoPortSelected);
    EXPECT_FALSE(p.Open());
    EXPECT_EQ(p.PortDispatcher(), nullptr);
    EXPECT_EQ(opened, 0);
  }
}

TEST(PortClosed, CloseAndSettingsOnClosedPortOnlyStore) {
  int closed = 0;
  TApdComPort p;
  p.OnPortClose = [&](TApdCustomComPort &) { ++closed; };
  p.SetOpen(false);
  EXPECT_EQ(closed, 0);
  p.SetBaud(9600);
  p.SetDTR(false);
  p.SetComNumber(7);
  EXPECT_EQ(p.Baud(), 9600);
  EXPECT_FALSE(p.DTR());
  EXPECT_EQ(p.ComNumber(), 7);
  EXPECT_EQ(p.PortDispatcher(), nullptr);
}

TEST(PortClosed, DataOperationsWithoutAutoOpen) {
  TApdComPort p;
  p.SetComNumber(1);
  p.SetAutoOpen(false);
  EXPECT_THROW(p.WriteChar('C'), ECommNotOpen);
  EXPECT_THROW(p.ReadChar(), ECommNotOpen);
  EXPECT_THROW(p.PeekChar(1), ECommNotOpen);
  EXPECT_THROW(p.YieldToPort(), ECommNotOpen);
  EXPECT_EQ(p.QueryLineError(), 0);
  EXPECT_FALSE(p.QueryLineBreak());
  EXPECT_FALSE(p.Open());
}

// ---------------------------------------------------------------- opening

TEST(PortOpen, MissingPortRaisesBadIdEveryTime) {
  StartDir();
  TApdComPort p;
  p.SetComNumber(49); // no COM49 link and no /dev/ttyS48 in a test box
  for (int i = 0; i < 2; ++i) {
    EXPECT_THROW(p.SetOpen(true), EBadId) << i;
    EXPECT_FALSE(p.Open());
    EXPECT_EQ(p.Phase(), ppClosed);
    EXPECT_EQ(p.PortDispatcher(), nullptr);
    EXPECT_EQ(p.NotifyWindow(), nullptr);
  }
  // A data operation with AutoOpen tries the open and raises its error.
  EXPECT_THROW(p.WriteChar('x'), EBadId);
}

TEST(PortOpen, TelephonyModeSkipsThePortNumberButFindsNoDevice) {
  TApdComPort p;
  p.SetTapiMode(tmOn);
  p.SetPromptForPort(false); // number 0 would otherwise fail first
  EXPECT_THROW(p.SetOpen(true), ENotOpenedByTapi);
  EXPECT_FALSE(p.Open());
  EXPECT_EQ(p.PortDispatcher(), nullptr);
}

TEST(PortOpen, BusyPortRaisesAlreadyOpen) {
  PtyPair peer(ComEntry(3));
  TApdComPort a, b;
  a.SetComNumber(3);
  b.SetComNumber(3);
  a.SetOpen(true);
  ASSERT_TRUE(a.Open());
  EXPECT_THROW(b.SetOpen(true), EAlreadyOpen);
  EXPECT_FALSE(b.Open());
  EXPECT_EQ(b.PortDispatcher(), nullptr);
  a.SetOpen(false);
  b.SetOpen(true); // free again once the first has closed
  EXPECT_TRUE(b.Open());
}

TEST(PortOpen, OpenCloseSequenceAndLineSettings) {
  PtyPair peer(ComEntry(4));
  std::vector<std::string> events;
  TApdComPort p;
  p.OnPortOpen = [&](TApdCustomComPort &cp) {
    events.push_back("open");
    EXPECT_TRUE(cp.Open());
    EXPECT_NE(cp.NotifyWindow(), nullptr);
  };
  p.OnPortClose = [&](TApdCustomComPort &) { events.push_back("close"); };
  p.SetComNumber(4);
  p.SetBaud(9600);
  p.SetOpen(true);
  EXPECT_TRUE(p.Open());
  EXPECT_EQ(p.Phase(), ppOpen);
  ASSERT_NE(p.PortDispatcher(), nullptr);
  auto rate = [&] {
    int32_t r = 0;
    uint8_t parity, dataBits, stopBits;
    p.PortDispatcher()->ReadLineFormat(r, parity, dataBits, stopBits);
    return r;
  };
  EXPECT_EQ(rate(), 9600);
  p.SetOpen(true);  // already open: nothing
  p.SetBaud(38400); // applied at once
  EXPECT_EQ(rate(), 38400);
  p.SetOpen(false);
  EXPECT_FALSE(p.Open());
  EXPECT_EQ(p.Phase(), ppClosed);
  EXPECT_EQ(p.PortDispatcher(), nullptr);
  EXPECT_EQ(p.NotifyWindow(), nullptr);
  EXPECT_EQ(events, (std::vector<std::string>{"open", "close"}));
}

TEST(PortOpen, RefusedFlowThresholdsFailTheOpenAndFreeThePort) {
  PtyPair peer(ComEntry(5));
  TApdComPort p;
  p.SetComNumber(5);
  p.SetBufferFull(100);
  p.SetHWFlowOptions({hwfRequireDSR}); // resume becomes 409, above full
  ASSERT_GT(p.BufferResume(), p.BufferFull());
  EXPECT_THROW(p.SetOpen(true), EBadArgument);
  EXPECT_FALSE(p.Open());
  EXPECT_EQ(p.PortDispatcher(), nullptr);
  p.SetBufferResume(50);
  p.SetOpen(true);
  EXPECT_TRUE(p.Open());
}

TEST(PortOpen, RtsDrivenByFlowControlStays) {
  PtyPair peer(ComEntry(6));
  TApdComPort p;
  p.SetComNumber(6);
  p.SetHWFlowOptions({hwfUseRTS});
  p.SetOpen(true);
  p.SetRTS(false);
  EXPECT_TRUE(p.RTS());
  p.SetDTR(false); // not under flow control: taken
  EXPECT_FALSE(p.DTR());
}

TEST(PortOpen, AutoOpenByDataOperation) {
  PtyPair peer(ComEntry(7));
  TApdComPort p;
  p.SetComNumber(7);
  int opened = 0;
  p.OnPortOpen = [&](TApdCustomComPort &) { ++opened; };
  p.WriteChar('Q');
  EXPECT_TRUE(p.Open());
  EXPECT_EQ(opened, 1);
  EXPECT_EQ(peer.Receive(1), "Q");
}

TEST(PortOpen, OpenAfterLoading) {
  PtyPair peer(ComEntry(8));
  ShownErrors shown;
  {
    TApdComPort p;
    p.BeginLoading();
    p.SetComNumber(8);
    p.SetOpen(true);
    EXPECT_TRUE(p.Open());
    EXPECT_EQ(p.PortDispatcher(), nullptr); // nothing opens while loading
    p.Loaded();
    EXPECT_TRUE(p.Open());
    EXPECT_NE(p.PortDispatcher(), nullptr);
  }
  {
    TApdComPort p;
    p.BeginLoading();
    p.SetComNumber(48);
    p.SetOpen(true);
    p.Loaded(); // fails: shown, not raised
    EXPECT_FALSE(p.Open());
    ASSERT_EQ(shown.messages.size(), 1u);
    EXPECT_EQ(shown.messages[0], MessageForCode(EBadId::kCode));
  }
}

// ------------------------------------------------------------ data and events

TEST(PortData, ReportGivesOneEventAndReadsAllInOrder) {
  PtyPair peer(ComEntry(10));
  AvailLog log;
  std::vector<uint16_t> triggerArgs;
  TApdComPort p;
  p.OnTrigger = [&](TApdCustomComPort &, uint16_t msg, uint16_t handle, uint16_t data) {
    triggerArgs = {msg, handle, data};
    EXPECT_TRUE(log.counts.size() == log.reads.size()); // before the avail event
  };
  p.OnTriggerAvail = [&](TApdCustomComPort &cp, uint16_t count) {
    log.counts.push_back(count);
    std::string s;
    for (int i = 0; i < count; ++i)
      s += cp.ReadChar();
    log.reads.push_back(s);
  };
  p.SetComNumber(10);
  p.SetOpen(true);
  const std::string report = "AZ=123  EL=045\r\n";
  peer.Send(report);
  ASSERT_TRUE(PumpUntil([&] { return !log.counts.empty(); }));
  EXPECT_EQ(log.counts, (std::vector<uint16_t>{16}));
  EXPECT_EQ(log.reads[0], report);
  EXPECT_EQ(triggerArgs, (std::vector<uint16_t>{0x7E01, 16, 16}));
  EXPECT_EQ(p.PortDispatcher()->ReceivedCount(), 0u);
  EXPECT_THROW(p.ReadChar(), EBufferIsEmpty);
}

TEST(PortData, PeekLooksAheadOfTheNextReadWithoutTakingIt) {
  PtyPair peer(ComEntry(30));
  ShownErrors shown;
  std::string peeked, read;
  int events = 0;
  TApdComPort p;
  p.OnTriggerAvail = [&](TApdCustomComPort &cp, uint16_t count) {
    ++events;
    if (count < 4)
      return; // left waiting, announced again with more
    // Inside an event reads do not consume: a peek must still look past them.
    read += cp.ReadChar();
    for (uint16_t i = 1; i < count; ++i)
      peeked += cp.PeekChar(i);
    read += cp.ReadChar();
    peeked += cp.PeekChar(1);
    cp.PeekChar(count - 1); // one past what is left
  };
  p.SetComNumber(30);
  p.SetOpen(true);
  peer.Send("ab");
  ASSERT_TRUE(PumpUntil([&] { return events == 1; }));
  peer.Send("cd");
  ASSERT_TRUE(PumpUntil([&] { return events == 2 && !shown.messages.empty(); }));
  EXPECT_EQ(read, "ab");
  EXPECT_EQ(peeked, "bcdc");
  EXPECT_EQ(shown.messages[0], MessageForCode(EBufferIsEmpty::kCode));
  // Outside an event a peek counts from the oldest unread byte.
  EXPECT_EQ(p.PortDispatcher()->ReceivedCount(), 2u);
  EXPECT_EQ(p.PeekChar(1), 'c');
  EXPECT_EQ(p.PeekChar(2), 'd');
  EXPECT_THROW(p.PeekChar(3), EBufferIsEmpty);
  EXPECT_EQ(p.ReadChar(), 'c');
  EXPECT_EQ(p.PeekChar(1), 'd');
}

TEST(PortData, ReadPastTheCountIsShownAndKeepsWhatWasRead) {
  PtyPair peer(ComEntry(11));
  ShownErrors shown;
  std::string got;
  int events = 0;
  TApdComPort p;
  p.OnTriggerAvail = [&](TApdCustomComPort &cp, uint16_t count) {
    ++events;
    for (int i = 0; i <= count; ++i) // one too many
      got += cp.ReadChar();
  };
  p.SetComNumber(11);
  p.SetOpen(true);
  peer.Send("0123456789abcdef");
  ASSERT_TRUE(PumpUntil([&] { return events == 1 && !shown.messages.empty(); }));
  EXPECT_EQ(got, "0123456789abcdef");
  EXPECT_EQ(shown.messages[0], MessageForCode(EBufferIsEmpty::kCode));
  // The next arrival starts after the sixteen.
  peer.Send("Z");
  ASSERT_TRUE(PumpUntil([&] { return events == 2; }));
  EXPECT_EQ(got.substr(16, 1), "Z");
}

TEST(PortData, UnreadBytesAreAnnouncedAgainWithTheGrownCount) {
  PtyPair peer(ComEntry(12));
  AvailLog log;
  TApdComPort p;
  p.OnTriggerAvail = [&](TApdCustomComPort &cp, uint16_t count) {
    log.counts.push_back(count);
    if (count >= 16) {
      std::string s;
      for (int i = 0; i < count; ++i)
        s += cp.ReadChar();
      log.reads.push_back(s);
    }
  };
  p.SetComNumber(12);
  p.SetOpen(true);
  peer.Send("AZ=123  E");
  ASSERT_TRUE(PumpUntil([&] { return log.counts.size() == 1; }));
  EXPECT_EQ(log.counts[0], 9);
  peer.Send("L=045\r\n");
  ASSERT_TRUE(PumpUntil([&] { return log.counts.size() == 2; }));
  EXPECT_EQ(log.counts[1], 16);
  ASSERT_EQ(log.reads.size(), 1u);
  EXPECT_EQ(log.reads[0], "AZ=123  EL=045\r\n");
}

TEST(PortData, BytesOneAtATimeCountUp) {
  PtyPair peer(ComEntry(13));
  std::vector<uint16_t> counts;
  TApdComPort p;
  p.OnTriggerAvail = [&](TApdCustomComPort &, uint16_t count) { counts.push_back(count); };
  p.SetComNumber(13);
  p.SetOpen(true);
  for (int i = 1; i <= 5; ++i) {
    peer.Send(std::string(1, char('0' + i)));
    ASSERT_TRUE(PumpUntil([&] { return counts.size() == size_t(i); })) << i;
  }
  EXPECT_EQ(counts, (std::vector<uint16_t>{1, 2, 3, 4, 5}));
  // Outside an event every read consumes, oldest first.
  EXPECT_EQ(p.ReadChar(), '1');
  EXPECT_EQ(p.ReadChar(), '2');
  EXPECT_EQ(p.PortDispatcher()->ReceivedCount(), 3u);
}

TEST(PortData, NoTriggerEventNoNotificationButBytesReadable) {
  PtyPair peer(ComEntry(14));
  int triggers = 0;
  TApdComPort p;
  p.SetComNumber(14);
  p.SetOpen(true);
  peer.Send("hello");
  auto *d = p.PortDispatcher();
  ASSERT_TRUE(PumpUntil([&] { return d->ReceivedCount() == 5; }));
  PumpPending();
  std::string s;
  for (int i = 0; i < 5; ++i)
    s += p.ReadChar();
  EXPECT_EQ(s, "hello");
  // Assigning an event reaches the open dispatcher at once.
  p.OnTrigger = [&](TApdCustomComPort &, uint16_t, uint16_t, uint16_t) { ++triggers; };
  peer.Send("!");
  ASSERT_TRUE(PumpUntil([&] { return triggers == 1; }));
  p.OnTrigger = nullptr;
  EXPECT_EQ(p.ReadChar(), '!');
  peer.Send("?");
  ASSERT_TRUE(PumpUntil([&] { return d->ReceivedCount() == 1; }));
  PumpPending();
  EXPECT_EQ(triggers, 1);
}

TEST(PortData, WriteCharReachesTheFarEnd) {
  PtyPair peer(ComEntry(15));
  TApdComPort p;
  p.SetComNumber(15);
  p.SetOpen(true);
  for (char c : std::string("C\r"))
    p.WriteChar(c);
  EXPECT_EQ(peer.Receive(2), "C\r");
}

TEST(PortData, ThrowingHandlerDoesNotStopLaterNotifications) {
  PtyPair peer(ComEntry(16));
  ShownErrors shown;
  int calls = 0;
  TApdComPort p;
  p.OnTriggerAvail = [&](TApdCustomComPort &cp, uint16_t count) {
    ++calls;
    for (int i = 0; i < count; ++i)
      cp.ReadChar();
    if (calls == 1)
      throw Exception("handler failed");
  };
  p.SetComNumber(16);
  p.SetOpen(true);
  peer.Send("a");
  ASSERT_TRUE(PumpUntil([&] { return calls == 1; }));
  peer.Send("b");
  ASSERT_TRUE(PumpUntil([&] { return calls == 2; }));
  EXPECT_EQ(shown.messages, (std::vector<std::string>{"handler failed"}));
}

// ------------------------------------------------------ closing from events

TEST(PortClose, CloseInsideAvailEventIsDeferred) {
  PtyPair peer(ComEntry(17));
  bool closedInside = false, openInClose = false, handlerReturned = false;
  TApdComPort p;
  p.OnPortClose = [&](TApdCustomComPort &cp) {
    closedInside = !handlerReturned;
    openInClose = cp.Open();
  };
  p.OnTriggerAvail = [&](TApdCustomComPort &cp, uint16_t) {
    cp.SetOpen(false);
    EXPECT_TRUE(closedInside); // fired before SetOpen returned
    EXPECT_TRUE(cp.Open());    // the close completes later
    EXPECT_EQ(cp.Phase(), ppClosing);
    cp.WriteChar('x');              // ignored while closing
    EXPECT_EQ(cp.ReadChar(), '\0'); // likewise
    handlerReturned = true;
  };
  p.SetComNumber(17);
  p.SetOpen(true);
  peer.Send("1");
  ASSERT_TRUE(PumpUntil([&] { return handlerReturned && p.Phase() == ppClosed; }));
  EXPECT_TRUE(openInClose);
  EXPECT_FALSE(p.Open());
  EXPECT_EQ(p.PortDispatcher(), nullptr);
  EXPECT_EQ(p.NotifyWindow(), nullptr);
  // The device is free again.
  p.SetOpen(true);
  EXPECT_TRUE(p.Open());
}

// Another handler keeps the delivery going after our event returned; a close
// made on the main thread meanwhile is not inside any event of ours and must
// be complete when it returns.
TEST(PortClose, CloseOutsideAnEventWhileADeliveryFinishesCompletesAtOnce) {
  static std::atomic<TApdBaseDispatcher *> gDispatcher{nullptr};
  static std::atomic<bool> gHolding{false};
  static std::once_flag registered;
  std::call_once(registered, [] {
    platform::RegisterWindowClass(
        "zkSlowWindow", [](platform::HWND, uint32_t msg, platform::WPARAM, platform::LPARAM) -> platform::LRESULT {
          if (msg == NotifyAvail) {
            gHolding = true;
            // Hold the delivery until the close has begun.
            while (!gDispatcher.load()->IsStopRequested())
              std::this_thread::yield();
            gHolding = false;
          }
          return 0;
        });
  });
  PtyPair peer(ComEntry(18));
  TApdComPort p;
  int events = 0;
  p.OnTriggerAvail = [&](TApdCustomComPort &cp, uint16_t count) {
    ++events;
    for (int i = 0; i < count; ++i)
      cp.ReadChar();
  };
  p.SetComNumber(18);
  p.SetOpen(true);
  gDispatcher = p.PortDispatcher();

  std::atomic<platform::HWND> slow{nullptr};
  std::atomic<bool> done{false};
  std::thread owner([&] {
    slow = platform::CreateHiddenWindow("zkSlowWindow", nullptr);
    while (!done.load())
      if (!platform::ProcessOneMessage())
        platform::WaitForMessage(10);
    platform::DestroyHiddenWindow(slow.load());
  });
  ASSERT_TRUE(PumpUntil([&] { return slow.load() != nullptr; }));
  p.PortDispatcher()->AddWindowHandler(slow.load());

  peer.Send("AZ=001  EL=002\r\n");
  ASSERT_TRUE(PumpUntil([&] { return events > 0 && gHolding.load(); }));
  p.SetOpen(false);
  EXPECT_FALSE(p.Open());
  EXPECT_EQ(p.Phase(), ppClosed);
  EXPECT_EQ(p.PortDispatcher(), nullptr);
  done = true;
  owner.join();
  // The device is free again.
  p.SetOpen(true);
  EXPECT_TRUE(p.Open());
}

TEST(PortClose, ComNumberChangeReopensOnTheNewDevice) {
  PtyPair first(ComEntry(18)), second(ComEntry(19));
  std::vector<std::string> events;
  TApdComPort p;
  p.OnPortOpen = [&](TApdCustomComPort &) { events.push_back("open"); };
  p.OnPortClose = [&](TApdCustomComPort &) { events.push_back("close"); };
  std::vector<uint16_t> counts;
  p.OnTriggerAvail = [&](TApdCustomComPort &cp, uint16_t count) {
    counts.push_back(count);
    for (int i = 0; i < count; ++i)
      cp.ReadChar();
  };
  p.SetComNumber(18);
  p.SetOpen(true);
  p.SetTracing(tlOn);
  p.SetLogging(tlOn);
  p.SetLogging(tlPause);
  p.PortDispatcher()->SetAvailThreshold(3); // a trigger setting of the dispatcher
  events.clear();
  p.SetComNumber(19);
  EXPECT_EQ(events, (std::vector<std::string>{"close", "open"}));
  EXPECT_TRUE(p.Open());
  EXPECT_EQ(p.ComNumber(), 19);
  EXPECT_EQ(p.Tracing(), tlOn);  // kept
  EXPECT_EQ(p.Logging(), tlOff); // a paused log does not survive
  EXPECT_EQ(p.PortDispatcher()->GetAvailThreshold(), 3);
  p.SetComNumber(19); // same number: nothing
  EXPECT_EQ(events.size(), 2u);
  p.WriteChar('n');
  EXPECT_EQ(second.Receive(1), "n");
  second.Send("abc");
  ASSERT_TRUE(PumpUntil([&] { return !counts.empty(); }));
  EXPECT_EQ(counts[0], 3);
  p.SetTracing(tlOff);
}

TEST(PortClose, ComNumberChangeInsideAnEventReopensAfterTheClose) {
  PtyPair first(ComEntry(20)), second(ComEntry(21));
  int opens = 0;
  TApdComPort p;
  p.OnPortOpen = [&](TApdCustomComPort &) { ++opens; };
  bool changed = false;
  p.OnTriggerAvail = [&](TApdCustomComPort &cp, uint16_t) {
    if (!changed) {
      changed = true;
      cp.SetComNumber(21);
    }
  };
  p.SetComNumber(20);
  p.SetOpen(true);
  first.Send("x");
  ASSERT_TRUE(PumpUntil([&] { return opens == 2; }));
  EXPECT_TRUE(p.Open());
  EXPECT_EQ(p.Phase(), ppOpen);
  EXPECT_FALSE(p.ReopenRequested());
  p.WriteChar('y');
  EXPECT_EQ(second.Receive(1), "y");
}

TEST(PortClose, DestroyingAnOpenPortClosesIt) {
  PtyPair peer(ComEntry(22));
  int closes = 0;
  {
    TApdComPort p;
    p.OnPortClose = [&](TApdCustomComPort &) { ++closes; };
    p.SetComNumber(22);
    p.SetOpen(true);
  }
  EXPECT_EQ(closes, 1);
  TApdComPort again;
  again.SetComNumber(22);
  again.SetOpen(true); // not left busy
  EXPECT_TRUE(again.Open());
}

// ------------------------------------------------------------- trace and log

TEST(PortTrace, TraceStateMachineOnOpenPort) {
  PtyPair peer(ComEntry(23));
  const std::string traceFile = (StartDir() / "t23.trc").string();
  std::filesystem::remove(traceFile);
  ProbedPort p;
  p.SetTraceName(traceFile);
  p.SetComNumber(23);
  p.SetOpen(true);
  struct Step {
    TTraceLogState set;
    TTraceLogState expect;
  };
  const Step steps[] = {
      {tlPause, tlOff}, // not on: nothing
      {tlOn, tlOn},     {tlPause, tlPause}, {tlClear, tlPause}, {tlOn, tlOn}, {tlAppendAndContinue, tlOn},
      {tlOff, tlOff},   {tlDump, tlOff},
  };
  for (const auto &s : steps) {
    if (s.set == tlAppendAndContinue) { // an empty trace writes no file
      p.WriteChar('T');
      ASSERT_EQ(peer.Receive(1), "T");
    }
    p.SetTracing(s.set);
    EXPECT_EQ(p.Tracing(), s.expect) << int(s.set);
  }
  EXPECT_TRUE(std::filesystem::exists(traceFile)); // from the append
  // A running trace restarts with a new size; a paused one stays off.
  p.SetTracing(tlOn);
  p.SetTraceSize(500);
  EXPECT_EQ(p.Tracing(), tlOn);
  EXPECT_EQ(p.Probe()->TraceCapacity, 500u);
  p.SetTracing(tlPause);
  p.SetTraceSize(600);
  EXPECT_EQ(p.Tracing(), tlOff);
}

TEST(PortTrace, CloseDumpsActiveTraceAndLog) {
  PtyPair peer(ComEntry(24));
  const std::string traceFile = (StartDir() / "t24.trc").string(), logFile = (StartDir() / "t24.log").string();
  std::filesystem::remove(traceFile);
  std::filesystem::remove(logFile);
  TApdComPort p;
  p.SetTraceName(traceFile);
  p.SetLogName(logFile);
  p.SetTracing(tlOn); // closed: stored, started at open
  p.SetLogging(tlOn);
  p.SetComNumber(24);
  p.SetOpen(true);
  p.WriteChar('A');
  EXPECT_EQ(peer.Receive(1), "A");
  p.SetOpen(false);
  EXPECT_TRUE(std::filesystem::exists(traceFile));
  EXPECT_TRUE(std::filesystem::exists(logFile));
  EXPECT_GT(std::filesystem::file_size(traceFile), 0u);
  EXPECT_EQ(p.Tracing(), tlOff);
  EXPECT_EQ(p.Logging(), tlOff);
}

// ------------------------------------------------------- a busy main thread

TEST(PortBusy, DispatchGoesOnWhileTheMainThreadIsBusy) {
  PtyPair peer(ComEntry(25));
  std::string got;
  TApdComPort p;
  p.OnTriggerAvail = [&](TApdCustomComPort &cp, uint16_t count) {
    for (int i = 0; i < count; ++i)
      got += cp.ReadChar();
  };
  p.SetComNumber(25);
  p.SetOpen(true);
  auto *d = p.PortDispatcher();
  std::string sent;
  std::thread farEnd([&] {
    // Two pieces while the main thread is busy; the second can only enter
    // the ring after the first notification's send gave up.
    peer.Send("first-");
    WaitFor([&] { return d->ReceivedCount() >= 6; });
    peer.Send("second-");
  });
  sent = "first-second-";
  // Busy for five seconds without taking messages (not a wait for anything).
  auto start = std::chrono::steady_clock::now();
  bool movedOn = false;
  while (std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) {
    if (d->ReceivedCount() == sent.size())
      movedOn = true;
  }
  farEnd.join();
  EXPECT_TRUE(movedOn);
  peer.Send("third");
  sent += "third";
  ASSERT_TRUE(PumpUntil([&] { return got.size() >= sent.size(); }));
  PumpPending();
  EXPECT_EQ(got, sent);
}

// ----------------------------------------------------- the window procedure

TEST(PortWindow, EachMessageRaisesItsEvents) {
  PtyPair peer(ComEntry(26));
  std::vector<std::string> seen;
  auto note = [&](std::string s) { seen.push_back(std::move(s)); };
  ProbedPort p;
  p.OnTrigger = [&](TApdCustomComPort &, uint16_t msg, uint16_t handle, uint16_t data) {
    note("trigger " + std::to_string(msg) + " " + std::to_string(handle) + " " + std::to_string(data));
  };
  p.OnTriggerData = [&](TApdCustomComPort &, uint16_t h) { note("data " + std::to_string(h)); };
  p.OnTriggerTimer = [&](TApdCustomComPort &, uint16_t h) { note("timer " + std::to_string(h)); };
  p.OnTriggerStatus = [&](TApdCustomComPort &, uint16_t h) { note("status " + std::to_string(h)); };
  p.OnTriggerModemStatus = [&](TApdCustomComPort &) { note("modem"); };
  p.OnTriggerLineError = [&](TApdCustomComPort &, uint16_t error, bool brk) {
    note("line " + std::to_string(error) + (brk ? " break" : ""));
  };
  p.OnTriggerOutbuffFree = [&](TApdCustomComPort &) { note("free"); };
  p.OnTriggerOutbuffUsed = [&](TApdCustomComPort &) { note("used"); };
  p.OnTriggerOutSent = [&](TApdCustomComPort &) { note("sent"); };
  p.SetComNumber(26);
  p.SetOpen(true);
  auto *d = p.Probe();
  const platform::LPARAM index = platform::LPARAM(d->Index()) << 16;
  struct Case {
    uint32_t msg;
    platform::WPARAM w;
    uint16_t low;
    std::vector<std::string> expect;
  };
  const Case cases[] = {
      {NotifyData, 7, 3, {"trigger 32258 7 3", "data 7"}},
      {NotifyTimer, 9, 0, {"trigger 32259 9 0", "timer 9"}},
      {NotifyStatus, 0x11, 0, {"trigger 32260 17 0", "status 17", "modem"}},
      {NotifyStatus, 0x13, 40, {"trigger 32260 19 40", "status 19", "free"}},
      {NotifyStatus, 0x14, 40, {"trigger 32260 20 40", "status 20", "used"}},
      {NotifyStatus, 0x15, 0, {"trigger 32260 21 0", "status 21", "sent"}},
      {NotifyStatus, 0x16, 0, {"trigger 32260 22 0", "status 22"}},
      {0x7E05, 1, 0, {}}, // not ours
  };
  for (const auto &c : cases) {
    seen.clear();
    platform::SendMessageTimeout(p.NotifyWindow(), c.msg, c.w, index | c.low, 3000, nullptr);
    EXPECT_EQ(seen, c.expect) << std::hex << c.msg << " " << c.w;
  }
  // A line error with a break: the break is taken first, then the error.
  {
    std::lock_guard<platform::TCriticalSection> lk(d->StateLock);
    d->LineErrorBits = 0x04 | 0x10; // parity error and break
  }
  seen.clear();
  platform::SendMessageTimeout(p.NotifyWindow(), NotifyStatus, 0x12, index, 3000, nullptr);
  EXPECT_EQ(seen, (std::vector<std::string>{"trigger 32260 18 0", "status 18", "line 3 break"}));
  // An index no dispatcher has is ignored.
  seen.clear();
  platform::SendMessageTimeout(p.NotifyWindow(), NotifyTimer, 1, platform::LPARAM(0x7FFF) << 16, 3000, nullptr);
  EXPECT_TRUE(seen.empty());
  // A window serves its own port: a notification naming another port's
  // dispatcher is not raised on either.
  PtyPair otherPeer(ComEntry(31));
  ProbedPort q;
  q.OnTriggerTimer = [&](TApdCustomComPort &, uint16_t h) { note("other timer " + std::to_string(h)); };
  q.SetComNumber(31);
  q.SetOpen(true);
  const platform::LPARAM otherIndex = platform::LPARAM(q.Probe()->Index()) << 16;
  seen.clear();
  platform::SendMessageTimeout(p.NotifyWindow(), NotifyTimer, 1, otherIndex, 3000, nullptr);
  EXPECT_TRUE(seen.empty());
  platform::SendMessageTimeout(q.NotifyWindow(), NotifyTimer, 1, otherIndex, 3000, nullptr);
  EXPECT_EQ(seen, std::vector<std::string>{"other timer 1"});
}

TEST(PortWindow, OpenPortAppliesOptionsToTheDispatcher) {
  PtyPair peer(ComEntry(27));
  ProbedPort p;
  p.SetAvailThreshold(5);
  p.SetUseEventWord(false);
  p.SetComNumber(27);
  p.SetOpen(true);
  auto *d = p.Probe();
  EXPECT_EQ(d->GetAvailThreshold(), 5);
  EXPECT_EQ(d->OptionBits & 4, 0u);
  p.SetUseEventWord(true);
  EXPECT_EQ(d->OptionBits & 4, 4u);
  p.SetAvailThreshold(2);
  EXPECT_EQ(d->GetAvailThreshold(), 2);
  p.SetRS485Mode(true);
  EXPECT_TRUE(d->Rs485Active.load());
  EXPECT_FALSE(p.RTS());
}

TEST(PortWindow, AssignCopiesSettingsButNotTheOpenPort) {
  PtyPair peer(ComEntry(28));
  TApdComPort src;
  src.SetComNumber(28);
  src.SetBaud(4800);
  src.SetHWFlowOptions({hwfRequireDSR});
  src.SetTraceName("x.trc");
  int avail = 0;
  src.OnTriggerAvail = [&](TApdCustomComPort &, uint16_t) { ++avail; };
  src.SetOpen(true);
  TApdComPort copy;
  copy.Assign(src);
  EXPECT_FALSE(copy.Open());
  EXPECT_EQ(copy.PortDispatcher(), nullptr);
  EXPECT_EQ(copy.ComNumber(), 28);
  EXPECT_EQ(copy.Baud(), 4800);
  EXPECT_EQ(copy.HWFlowOptions(), src.HWFlowOptions());
  EXPECT_EQ(copy.BufferFull(), src.BufferFull());
  EXPECT_EQ(copy.TraceName(), "x.trc");
  EXPECT_TRUE(static_cast<bool>(copy.OnTriggerAvail));
}

TEST(PortTrace, UnwritableTraceStillClosesThePort) {
  PtyPair peer(ComEntry(29));
  const std::string logFile = (StartDir() / "t29.log").string();
  std::filesystem::remove(logFile);
  int closes = 0;
  TApdComPort p;
  p.OnPortClose = [&](TApdCustomComPort &) { ++closes; };
  p.SetTraceName((StartDir() / "no/such/dir/t29.trc").string());
  p.SetLogName(logFile);
  p.SetTracing(tlOn);
  p.SetLogging(tlOn);
  p.SetComNumber(29);
  p.SetOpen(true);
  p.WriteChar('A');
  ASSERT_EQ(peer.Receive(1), "A");
  EXPECT_THROW(p.SetOpen(false), Exception);
  EXPECT_FALSE(p.Open());
  EXPECT_EQ(p.PortDispatcher(), nullptr);
  EXPECT_EQ(closes, 1);
  EXPECT_TRUE(std::filesystem::exists(logFile)); // the log was still written
}
