// The port component under load: a far end that floods a handler that reads
// nothing, and thousands of opens and closes.
#include "comport/AdPort.h"
#include "tests/support/MessagePump.h"
#include "tests/support/Ports.h"
#include "tests/support/ProcessCounts.h"
#include "tests/support/PtyPair.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

using namespace support;

namespace {

// A descriptor or thread left behind by each cycle shows after the first
// few; the count is for the rarer leak, kept to what a loaded machine runs
// in well under a minute.
#if defined(ZK_FAULTS_TSAN)
constexpr size_t FloodBytes = size_t(256) << 10;
constexpr int Cycles = 500;
#elif defined(ZK_SANITIZED)
constexpr size_t FloodBytes = size_t(1) << 20;
constexpr int Cycles = 1000;
#else
constexpr size_t FloodBytes = size_t(1) << 20;
constexpr int Cycles = 2500;
#endif

std::string Pattern(size_t n) {
  std::mt19937 rng(42);
  std::string s(n, '\0');
  for (char &c : s)
    c = char(rng() & 0xFF);
  return s;
}

TEST(PortFaults, FullRingStopsIntakeAndKeepsEveryByte) {
  PtyPair peer(ComEntry(21));
  TApdComPort port;
  std::atomic<int> announced{0};
  port.OnTriggerAvail = [&](TApdCustomComPort &, uint16_t) { announced.fetch_add(1); };
  port.SetComNumber(21);
  port.SetOpen(true);
  TApdBaseDispatcher *d = port.PortDispatcher();
  ASSERT_NE(d, nullptr);

  const std::string pattern = Pattern(FloodBytes);
  Flood flood(peer, pattern);

  // The handler reads nothing: the ring fills and stays full; the far end
  // cannot send it all.
  ASSERT_TRUE(PumpUntil([&] { return d->ReceivedCount() == ReceiveRingSize; }, Scaled(20000ms)))
      << "ring holds " << d->ReceivedCount();
  PumpPending(300ms);
  EXPECT_EQ(d->ReceivedCount(), ReceiveRingSize);
  EXPECT_LT(flood.Sent(), pattern.size());

  // Reading later gets every byte, in order.
  std::string got;
  got.reserve(pattern.size());
  const auto deadline = std::chrono::steady_clock::now() + Scaled(60000ms);
  while (got.size() < pattern.size() && std::chrono::steady_clock::now() < deadline) {
    const uint32_t n = d->ReceivedCount();
    for (uint32_t i = 0; i < n; ++i)
      got += port.ReadChar();
    if (n == 0)
      PumpUntil([&] { return d->ReceivedCount() > 0; }, 2000ms);
  }
  size_t first = 0;
  while (first < got.size() && first < pattern.size() && got[first] == pattern[first])
    ++first;
  // A byte handed out twice shows as the pattern repeating itself.
  size_t repeated = 0;
  while (first < got.size() && repeated < first && got.compare(first, 16, pattern, first - repeated - 1, 16) != 0)
    ++repeated;
  EXPECT_EQ(first, pattern.size()) << "first wrong byte at " << first << " of " << got.size()
                                   << "; it repeats the byte " << repeated + 1 << " places before";
  EXPECT_EQ(got.size(), pattern.size());
  port.SetOpen(false);
}

TEST(PortFaults, HandlerThatReadsEverythingKeepsUpWithAFlood) {
  PtyPair peer(ComEntry(23));
  TApdComPort port;
  std::string got;
  port.OnTriggerAvail = [&](TApdCustomComPort &cp, uint16_t count) {
    for (int i = 0; i < count; ++i)
      got += cp.ReadChar();
  };
  port.SetComNumber(23);
  port.SetOpen(true);
  TApdBaseDispatcher *d = port.PortDispatcher();
  ASSERT_NE(d, nullptr);
  const std::string pattern = Pattern(FloodBytes);
  Flood flood(peer, pattern);
  const bool all = PumpUntil([&] { return got.size() >= pattern.size(); }, Scaled(30000ms));
  EXPECT_TRUE(all) << "got " << got.size() << " of " << pattern.size() << ", sent " << flood.Sent()
                   << ", waiting in the ring " << d->ReceivedCount();
  EXPECT_TRUE(got == pattern) << "bytes differ";
  port.SetOpen(false);
}

TEST(PortFaults, OpenCloseCyclesLeakNoDescriptorOrThread) {
  PtyPair peer(ComEntry(22));
  TApdComPort port;
  int announced = 0;
  port.OnTriggerAvail = [&](TApdCustomComPort &cp, uint16_t count) {
    ++announced;
    for (int i = 0; i < count; ++i)
      cp.ReadChar();
  };
  port.SetComNumber(22);
  // Each open waits 18 character times before the new format; a fast rate
  // keeps that short.
  port.SetBaud(115200);
  port.SetOpen(true);
  port.SetOpen(false);
  PumpPending();
  const int fds = OpenDescriptors();
  const int threads = LiveThreads();

  for (int i = 0; i < Cycles; ++i) {
    port.SetOpen(true);
    ASSERT_TRUE(port.Open()) << "cycle " << i;
    if (i % 500 == 0) {
      // Now and then some traffic, so the cycles are not all idle ones.
      peer.Send("AZ=001  EL=002\r\n");
      port.WriteChar('C');
      const int before = announced;
      EXPECT_TRUE(PumpUntil([&] { return announced > before; })) << "cycle " << i;
      EXPECT_EQ(peer.Receive(1), "C") << "cycle " << i;
    }
    port.SetOpen(false);
    ASSERT_FALSE(port.Open());
  }
  // Threads free themselves just after a close returns.
  PumpUntil([&] { return LiveThreads() <= threads; }, Scaled(5000ms));
  EXPECT_EQ(LiveThreads(), threads);
  EXPECT_EQ(OpenDescriptors(), fds);
}

} // namespace
