// Line settings and flow control on a pty, the queue classes, the order of
// event words and data, line error and modem status reporting, and the
// bound on InputQueue.
#include "tests/dispatcher/ExposedDispatcher.h"
#include "tests/support/NullOwner.h"
#include "tests/support/Pattern.h"
#include "tests/support/Ports.h"
#include "tests/support/PtyPair.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

using namespace support;
using platform::TDeviceControl;

namespace {

class CountingDispatcher : public ExposedDispatcher {
public:
  using ExposedDispatcher::ExposedDispatcher;
  // The most-derived class stops the threads while its overrides still exist.
  ~CountingDispatcher() override { Shutdown(); }
  int32_t WriteDeviceState(const TDeviceControl &dcb) override {
    ++Writes;
    Last = dcb;
    return ExposedDispatcher::WriteDeviceState(dcb);
  }
  std::atomic<int> Writes{0};
  TDeviceControl Last;
};

TEST(LineFormat, PauseIsEighteenCharacterTimes) {
  struct Case {
    uint32_t rate;
    uint8_t size, parity, stop;
    uint32_t ms;
  } cases[] = {
      {9600, 8, 0, 0, 19},   // 1041 * 10 * 18 = 187,380
      {0xFF16, 8, 0, 0, 19}, // the legacy code of 9600
      {115200, 8, 0, 0, 2},  // 86 * 10 * 18 = 15,480
      {230400, 8, 0, 0, 2},  // 7,740 is below 10,000: doubled to 15,480
      {921600, 8, 0, 0, 1},  // 1,800 doubled to 3,600
      {9600, 7, 2, 2, 21},   // 11 bits: 206,118
      {300, 8, 0, 0, 600},
  };
  for (const auto &c : cases) {
    TDeviceControl d;
    d.BaudRate = c.rate;
    d.ByteSize = c.size;
    d.Parity = c.parity;
    d.StopBits = c.stop;
    EXPECT_EQ(c.ms, TApdBaseDispatcher::FormatChangePauseMs(d)) << c.rate << " " << int(c.size);
  }
}

TEST(LineFormat, LegacyRateCodesTranslate) {
  struct {
    uint32_t code, rate;
  } cases[] = {{0xFEFF, 115200}, {0xFF10, 110},    {0xFF16, 9600},   {0xFF1B, 38400},
               {0xFF27, 256000}, {0xFF19, 0xFF19}, {0xFF28, 0xFF28}, {57600, 57600}};
  for (const auto &c : cases)
    EXPECT_EQ(c.rate, TApdBaseDispatcher::TranslateRate(c.code)) << std::hex << c.code;
}

class OpenedLine : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(0, d_.OpenDispatcher(LinkPort(30, pty_.SlavePath()), 9600, 0, 8, 1, 4096, 4096, loDtrOn | loRtsOn));
  }
  PtyPair pty_;
  NullOwner owner_;
  CountingDispatcher d_{&owner_};
};

TEST_F(OpenedLine, SameFormatAgainWritesNothing) {
  int before = d_.Writes.load();
  EXPECT_EQ(0, d_.ApplyLineFormat(9600, 0, 8, 1));
  EXPECT_EQ(0, d_.ApplyLineFormat(0, 5, 9, 3)); // all "keep"
  EXPECT_EQ(before, d_.Writes.load());
}

TEST_F(OpenedLine, FormatIsWrittenAndRatesReadBack) {
  EXPECT_EQ(0, d_.ApplyLineFormat(19200, 2, 7, 2));
  EXPECT_EQ(19200u, d_.Last.BaudRate);
  EXPECT_EQ(2, d_.Last.Parity);
  EXPECT_EQ(7, d_.Last.ByteSize);
  EXPECT_EQ(2, d_.Last.StopBits);
  EXPECT_EQ(19200u, d_.CurrentRate);

  // Five data bits always give one and a half stop bits.
  EXPECT_EQ(0, d_.ApplyLineFormat(0, 5, 5, 2));
  EXPECT_EQ(5, d_.Last.ByteSize);
  EXPECT_EQ(1, d_.Last.StopBits);
  EXPECT_EQ(19200u, d_.Last.BaudRate);

  for (uint32_t rate : {31250u, 0xFF1Bu, 115200u, 250000u}) {
    EXPECT_EQ(0, d_.ApplyLineFormat(int32_t(rate), 0, 8, 1));
    int32_t r;
    uint8_t parity, bits, stop;
    d_.ReadLineFormat(r, parity, bits, stop);
    EXPECT_EQ(int32_t(TApdBaseDispatcher::TranslateRate(rate)), r);
    EXPECT_EQ(1, stop);
    TDeviceControl onDevice;
    ASSERT_EQ(0u, d_.Device.GetState(onDevice));
    EXPECT_EQ(TApdBaseDispatcher::TranslateRate(rate), onDevice.BaudRate); // never a code
  }
}

TEST_F(OpenedLine, FlowMarksAreChecked) {
  EXPECT_EQ(ecBadArgument, d_.SetHardwareFlow(4097, 10, 2));
  EXPECT_EQ(ecBadArgument, d_.SetHardwareFlow(10, 11, 2));
  EXPECT_EQ(ecBadArgument, d_.EnableSoftwareFlow(4097, 10, 3));
  EXPECT_EQ(0, d_.SetHardwareFlow(100, 100, 0)); // full = resume is fine
  EXPECT_EQ(0, d_.SetHardwareFlow(4096, 409, 2 | 8));
  EXPECT_EQ(uint16_t(0), d_.Last.XoffLim);
  EXPECT_EQ(uint16_t(409), d_.Last.XonLim);
  EXPECT_TRUE(d_.RtsByFlow);
  EXPECT_EQ(1, d_.DriveRts(0)); // RTS belongs to the flow control now
  EXPECT_TRUE(d_.RtsOn);
}

TEST_F(OpenedLine, HardwareFlowOptionsReadBackAsSet) {
  // DTR handshake, RTS handshake, DSR and CTS output flow, alone and mixed;
  // on this line RTS handshake and CTS flow share one switch.
  for (uint32_t options : {0u, 1u, 2u, 4u, 8u, 2u | 8u, 1u | 8u, 1u | 2u | 4u | 8u, 0u}) {
    ASSERT_EQ(0, d_.SetHardwareFlow(2048, 1024, options));
    uint32_t hw = 99, sw = 99;
    uint8_t xon, xoff;
    ASSERT_EQ(0, d_.ReadFlowOptions(hw, sw, xon, xoff));
    EXPECT_EQ(options, hw) << "options " << options;
    EXPECT_EQ(0u, sw);
  }
}

TEST_F(OpenedLine, SoftwareFlowAndCharactersReadBack) {
  uint32_t hw, sw;
  uint8_t xon, xoff;
  ASSERT_EQ(0, d_.EnableSoftwareFlow(3072, 1024, 3));
  ASSERT_EQ(0, d_.ReadFlowOptions(hw, sw, xon, xoff));
  EXPECT_EQ(3u, sw);
  EXPECT_EQ(17, xon);
  EXPECT_EQ(19, xoff);
  EXPECT_EQ(uint16_t(1024), d_.Last.XoffLim);
  ASSERT_EQ(0, d_.SetFlowCharacters(0x01, 0x02));
  ASSERT_EQ(0, d_.ReadFlowOptions(hw, sw, xon, xoff));
  EXPECT_EQ(1, xon);
  EXPECT_EQ(2, xoff);
  ASSERT_EQ(0, d_.DisableSoftwareFlow());
  ASSERT_EQ(0, d_.ReadFlowOptions(hw, sw, xon, xoff));
  EXPECT_EQ(0u, sw);
}

TEST_F(OpenedLine, ThreadBoostAndRs485SetThreadPriorities) {
  auto level = [&](TThreadKind k) { return platform::GetThreadPriority(d_.ThreadIds[int(k)].load()); };
  d_.ApplyThreadBoost(1);
  for (TThreadKind k : {TThreadKind::Read, TThreadKind::Dispatch, TThreadKind::Write, TThreadKind::Status})
    EXPECT_EQ(4, level(k)) << int(k);
  // Software RS-485 on a pty: the writer runs one level above the others and
  // the bytes still go out.
  d_.SetRs485(true);
  EXPECT_FALSE(d_.Rs485Hardware.load());
  EXPECT_EQ(5, level(TThreadKind::Write));
  EXPECT_EQ(4, level(TThreadKind::Read));
  ASSERT_EQ(ecOK, d_.SendBlock("485", 3));
  EXPECT_EQ((std::vector<uint8_t>{'4', '8', '5'}), pty_.ReceiveBytes(3));
  d_.SetRs485(false);
  EXPECT_EQ(4, level(TThreadKind::Write));
  d_.ApplyThreadBoost(0);
  EXPECT_EQ(3, level(TThreadKind::Status));
}

TEST_F(OpenedLine, DispatchLogRecordsSendsReadsAndTriggerChanges) {
  d_.BeginEventLog(0);
  ASSERT_EQ(ecOK, d_.SendBlock("AB", 2));
  ASSERT_TRUE(pty_.Send(std::string("xyz")));
  ASSERT_TRUE(WaitFor([&] { return d_.ReceivedCount() == 3; }));
  d_.SetAvailThreshold(7);
  d_.PauseEventLog();
  struct Entry {
    int type, sub;
    uint32_t data;
    std::string bytes;
  };
  std::vector<Entry> entries;
  while (auto b = d_.LogQueue.PopBuffer()) {
    auto *l = dynamic_cast<TLogBuffer *>(b.get());
    ASSERT_NE(nullptr, l);
    entries.push_back(
        {l->Type, l->SubType, l->Data, std::string(reinterpret_cast<char *>(l->Bytes.get()), size_t(l->Size))});
  }
  auto has = [&](int type, int sub, uint32_t data, const std::string &bytes) {
    for (const auto &e : entries)
      if (e.type == type && e.sub == sub && e.data == data && e.bytes == bytes)
        return true;
    return false;
  };
  EXPECT_TRUE(has(dlDispatch, dstWriteCom, 2, "AB"));
  // The three bytes may come in one block or several; their first part is there.
  bool readSeen = false;
  for (const auto &e : entries)
    readSeen |= e.type == dlDispatch && e.sub == dstReadCom && e.data > 0 &&
                std::string("xyz").compare(0, e.bytes.size(), e.bytes) == 0;
  EXPECT_TRUE(readSeen);
  EXPECT_TRUE(has(dlTriggerDataChange, dstAvail, 7, ""));
}

TEST_F(OpenedLine, InputQueueStaysBoundedWhileNobodyReads) {
  auto data = Pattern(300 * 1024, 5);
  std::atomic<bool> written{false};
  std::thread writer([&] {
    pty_.Send(data, 60000ms);
    written.store(true);
  });
  const uint32_t limit = TApdWin32Dispatcher::InputQueueLimit;
  // The ring fills first or the queue does, as the threads happen to run.
  ASSERT_TRUE(WaitFor([&] { return d_.ReceivedCount() == 8192 && d_.InputQueue.BytesQueued() > limit; }));
  EXPECT_FALSE(written.load()); // the rest waits in the device and in the writer
  EXPECT_LE(d_.InputQueue.BytesQueued(), limit + TApdWin32Dispatcher::ReadBlockSize);

  std::vector<uint8_t> got;
  got.reserve(data.size());
  ASSERT_TRUE(WaitFor(
      [&] {
        uint8_t c;
        while (d_.ReceiveByte(c) == ecOK)
          got.push_back(c);
        EXPECT_LE(d_.InputQueue.BytesQueued(), limit + TApdWin32Dispatcher::ReadBlockSize);
        return got.size() >= data.size();
      },
      60000ms));
  writer.join();
  EXPECT_TRUE(got == data) << "bytes lost or reordered";
}

// A reader that drops a unit's stale bytes flushes while the read thread is
// held back by the queue's bound: the flush must release it, or the port
// hears nothing more until it is closed.
TEST_F(OpenedLine, AFlushOfAFullQueueLeavesThePortHearing) {
  const uint32_t limit = TApdWin32Dispatcher::InputQueueLimit;
  // The ring, the queue up to its bound, and some left waiting in the device.
  ASSERT_TRUE(pty_.Send(Pattern(ReceiveRingSize + limit + 4096, 9), 60000ms));
  // Held back, the reader waits until the queue is down to half its bound.
  ASSERT_TRUE(WaitFor([&] {
    return d_.ReceivedCount() == ReceiveRingSize && d_.InputQueue.BytesQueued() > limit / 2 &&
           d_.ReaderThrottled.load();
  })) << d_.ReceivedCount()
      << " in the ring, " << d_.InputQueue.BytesQueued() << " queued, reader "
      << (d_.ReaderThrottled.load() ? "held" : "free");

  EXPECT_EQ(ecOK, d_.FlushReceive());
  EXPECT_EQ(0u, d_.ReceivedCount());
  EXPECT_EQ(0u, d_.InputQueue.BytesQueued());

  const std::string after = "AFTER-FLUSH";
  ASSERT_TRUE(pty_.Send(after));
  std::string got;
  EXPECT_TRUE(WaitFor([&] {
    uint8_t c;
    while (d_.ReceiveByte(c) == ecOK)
      got += char(c);
    return got.size() >= after.size();
  })) << "heard "
      << got.size() << " bytes after the flush";
  EXPECT_EQ(after, got) << "stale bytes survived the flush";
}

TEST(IOQueue, ClearIdleKeepsTheBufferInUse) {
  TIOQueue q;
  for (int i = 0; i < 3; ++i)
    q.PushBuffer(std::make_unique<TDataBuffer>(256));
  q.PushBuffer(std::make_unique<TStatusBuffer>(0x08));
  EXPECT_EQ(768u, q.BytesQueued()); // an event word counts 0
  TIOBuffer *head = q.PeekBuffer();
  ASSERT_NE(nullptr, head);
  EXPECT_EQ(nullptr, q.PeekBuffer()); // already in use
  q.ClearIdle();                      // an input flush while the head is being copied
  EXPECT_EQ(1u, q.Count());
  EXPECT_EQ(256u, q.BytesQueued());
  q.ReleaseBuffer(head);
  EXPECT_EQ(head, q.PeekBuffer());
  auto popped = q.PopBuffer();
  EXPECT_EQ(head, popped.get());
  EXPECT_EQ(0u, q.BytesQueued());
  EXPECT_EQ(nullptr, q.PopBuffer());
  q.PushBuffer(std::make_unique<TStatusBuffer>(1));
  EXPECT_EQ(platform::WaitResult::Signaled, q.WaitForData(0));
}

std::unique_ptr<TDataBuffer> Block(const std::string &s) {
  auto b = std::make_unique<TDataBuffer>(256);
  std::memcpy(b->Data.get(), s.data(), s.size());
  b->Used = uint32_t(s.size());
  return b;
}

TEST(ReceiveCycle, AnEventWordWaitsForTheBytesBeforeIt) {
  NullOwner owner;
  ExposedDispatcher d(&owner);
  d.ReceiveRing.reset(new uint8_t[ReceiveRingSize]());
  d.InputQueue.PushBuffer(Block("abcde"));
  d.InputQueue.PushBuffer(std::make_unique<TStatusBuffer>(platform::evCts));
  d.InputQueue.PushBuffer(Block("xyz"));

  d.ReceiveCycle();
  EXPECT_EQ(0u, d.EventWord);
  EXPECT_EQ(5u, d.ReceivedCount()); // stops at the event word
  d.ReceiveCycle();
  EXPECT_EQ(platform::evCts, d.EventWord);
  EXPECT_EQ(8u, d.ReceivedCount());
  std::string got;
  uint8_t c;
  while (d.ReceiveByte(c) == ecOK)
    got += char(c);
  EXPECT_EQ("abcdexyz", got);
}

TEST(ReceiveCycle, FullRingStopsIntakeAndCountsAllUnread) {
  NullOwner owner;
  ExposedDispatcher d(&owner);
  d.ReceiveRing.reset(new uint8_t[ReceiveRingSize]());
  d.RingHead = d.RingTail = 8000; // the ring's end lies inside the first block
  for (int i = 0; i < 40; ++i)
    d.InputQueue.PushBuffer(Block(std::string(250, char('A' + i % 26))));
  for (int i = 0; i < 40 && !d.RingFull; ++i)
    d.ReceiveCycle();
  EXPECT_TRUE(d.RingFull);
  EXPECT_EQ(8192u, d.ReceivedCount());
  EXPECT_EQ(8000u, d.RingHead);
  uint32_t queued = d.InputQueue.BytesQueued();
  d.ReceiveCycle(); // full: nothing moves
  EXPECT_EQ(queued, d.InputQueue.BytesQueued());
  uint8_t c;
  ASSERT_EQ(ecOK, d.ReceiveByte(c));
  EXPECT_EQ('A', c);
  EXPECT_FALSE(d.RingFull);
  d.ReceiveCycle();
  EXPECT_EQ(8192u, d.ReceivedCount());
}

TEST(LineErrors, ReportedByPriorityBreakKeptForTakeLineBreak) {
  NullOwner owner;
  ExposedDispatcher d(&owner);
  struct {
    int32_t bits;
    uint8_t code;
    int32_t after;
  } cases[] = {{-1, 10, 0}, {0x11, 1, 0x10}, {0x02, 2, 0}, {0x0C, 3, 0}, {0x08, 4, 0}, {0x10, 9, 0x10}, {0, 0, 0}};
  for (const auto &c : cases) {
    d.LineErrorBits = c.bits;
    EXPECT_EQ(c.code, d.ReadLineError()) << c.bits;
    EXPECT_EQ(c.after, d.LineErrorBits) << c.bits;
  }
  d.LineErrorBits = 0x10;
  EXPECT_TRUE(d.TakeLineBreak());
  EXPECT_FALSE(d.TakeLineBreak());
  EXPECT_EQ(0, d.LineErrorBits);
}

TEST(ModemStatus, DeltasAreReportedOnceAndRingSeenShowsAsTrailingEdge) {
  NullOwner owner;
  ExposedDispatcher d(&owner); // no device: the platform reads 0
  d.ModemBits = 0x1B;
  d.RingSeen = true;
  EXPECT_EQ(0x0F, d.ReadModemStatus());
  EXPECT_EQ(0x00, d.ReadModemStatus());
  EXPECT_FALSE(d.RingSeen);
}

} // namespace
