// The dispatcher's byte trace and dispatch log: recording rules, dumps and
// their effect on the recorders, failures, and the entries an open port
// produces on a pseudo-terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/dispatcher/ExposedDispatcher.h"
#include "tests/support/Files.h"
#include "tests/support/PtyPair.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

using support::ReadFile;
using support::WaitFor;

namespace fs = std::filesystem;

namespace {

std::string Golden(const std::string &name) { return ReadFile(fs::path(ZK_GOLDEN_DIR) / name); }

void Record(TApdBaseDispatcher &d, uint8_t kind, const std::string &s) {
  for (unsigned char c : s)
    d.RecordTraceByte(kind, c);
}

size_t CountLines(const std::string &text) { return std::count(text.begin(), text.end(), '\n'); }

} // namespace

TEST(ByteTrace, CircularBufferKeepsTheNewest) {
  ExposedDispatcher d(nullptr);
  support::TempDir dir("trace");
  ASSERT_EQ(d.BeginByteTrace(3), 0);
  Record(d, 'R', "ABCD");
  EXPECT_TRUE(d.TraceWrapped);
  EXPECT_EQ(d.TracePosition, 1);
  ASSERT_EQ(d.SaveTraceFile(dir / "t.trc", false, false), 0);
  EXPECT_EQ(ReadFile(dir / "t.trc"), Golden("trace_capacity3.txt"));
}

TEST(ByteTrace, BeginRules) {
  ExposedDispatcher d(nullptr);
  EXPECT_EQ(d.BeginByteTrace(4000001), -1002);
  EXPECT_FALSE(d.TraceActive);
  EXPECT_TRUE(d.TraceBuffer.empty());

  ASSERT_EQ(d.BeginByteTrace(4000000), 0);
  EXPECT_EQ(d.TraceBuffer.size(), 8000000u);
  d.DropByteTrace();

  ASSERT_EQ(d.BeginByteTrace(10), 0);
  Record(d, 'T', "abc");
  // A second begin empties the existing trace and ignores the new size,
  // even one that would be refused on its own.
  EXPECT_EQ(d.BeginByteTrace(4000001), 0);
  EXPECT_EQ(d.TracePosition, 0);
  EXPECT_EQ(d.TraceCapacity, 10u);
  EXPECT_TRUE(d.TraceActive);
}

TEST(ByteTrace, PauseResumeDrop) {
  ExposedDispatcher d(nullptr);
  d.ResumeByteTrace(); // no buffer: stays off
  EXPECT_FALSE(d.TraceActive);
  ASSERT_EQ(d.BeginByteTrace(8), 0);
  d.PauseByteTrace();
  EXPECT_FALSE(d.TraceActive);
  EXPECT_FALSE(d.TraceBuffer.empty());
  d.ResumeByteTrace();
  EXPECT_TRUE(d.TraceActive);
  Record(d, 'R', "xy");
  EXPECT_EQ(d.EmptyByteTrace(), 0);
  EXPECT_EQ(d.TracePosition, 0);
  d.DropByteTrace();
  EXPECT_FALSE(d.TraceActive);
  EXPECT_TRUE(d.TraceBuffer.empty());
  d.RecordTraceByte('R', 'z'); // no buffer: nothing happens
  EXPECT_EQ(d.TracePosition, 0);
}

TEST(ByteTrace, DumpStartsTheTraceOver) {
  ExposedDispatcher d(nullptr);
  support::TempDir dir("trace");
  ASSERT_EQ(d.BeginByteTrace(4), 0);
  d.PauseByteTrace();
  Record(d, 'T', "C\r");
  ASSERT_EQ(d.SaveTraceFile(dir / "a.trc", false, false), 0);
  EXPECT_EQ(ReadFile(dir / "a.trc"), "Transmit: \nC[13]\n");
  EXPECT_TRUE(d.TraceActive) << "a dump switches tracing on";
  EXPECT_EQ(d.TracePosition, 0);
  EXPECT_FALSE(d.TraceWrapped);

  // Now empty: a second dump writes nothing and leaves the file alone.
  EXPECT_EQ(d.SaveTraceFile(dir / "a.trc", false, false), 0);
  EXPECT_EQ(ReadFile(dir / "a.trc"), "Transmit: \nC[13]\n");

  // Appending dumps follow one another on lines of their own.
  Record(d, 'R', "AZ");
  ASSERT_EQ(d.AppendTraceFile(dir / "a.trc", false, false), 0);
  EXPECT_EQ(ReadFile(dir / "a.trc"), "Transmit: \nC[13]\nReceive: \nAZ\n");
  Record(d, 'R', " ");
  ASSERT_EQ(d.SaveTraceFile(dir / "a.trc", true, false), 0);
  EXPECT_EQ(ReadFile(dir / "a.trc"), "Receive: \n[20]\n");
}

TEST(ByteTrace, NothingToWriteCreatesNoFile) {
  ExposedDispatcher d(nullptr);
  support::TempDir dir("trace");
  EXPECT_EQ(d.SaveTraceFile(dir / "none.trc", false, false), 0); // no buffer
  ASSERT_EQ(d.BeginByteTrace(4), 0);
  EXPECT_EQ(d.AppendTraceFile(dir / "none.trc", false, false), 0); // empty
  EXPECT_FALSE(fs::exists(dir / "none.trc"));
}

TEST(ByteTrace, UnwritableFileEndsTracing) {
  ExposedDispatcher d(nullptr);
  support::TempDir dir("trace");
  ASSERT_EQ(d.BeginByteTrace(16), 0);
  Record(d, 'R', "data");
  const int32_t r = d.SaveTraceFile(dir / "missing/dir/t.trc", false, false);
  EXPECT_LT(r, 0);
  EXPECT_FALSE(d.TraceActive);
  EXPECT_TRUE(d.TraceBuffer.empty());
  // And a later dump has nothing to write.
  EXPECT_EQ(d.SaveTraceFile(dir / "t.trc", false, false), 0);
  EXPECT_FALSE(fs::exists(dir / "t.trc"));
}

TEST(EventLog, LimitBoundsBytesBeforeEachEntry) {
  ExposedDispatcher d(nullptr);
  support::TempDir dir("trace");
  d.BeginEventLog(100);
  std::string block(60, 'a');
  for (int i = 0; i < 10; ++i) {
    block[0] = static_cast<char>('0' + i);
    d.RecordLogEvent(1, 2, i, block.data(), 60);
    EXPECT_LE(d.LogQueue.Count(), 2u) << i;
  }
  ASSERT_EQ(d.SaveLogFile(dir / "l.log", false, false), 0);
  const std::string text = ReadFile(dir / "l.log");
  EXPECT_EQ(CountLines(text), 7u + 2 * 2); // header, two entries of two lines
  EXPECT_NE(text.find("00000008  8aaa"), std::string::npos);
  EXPECT_NE(text.find("00000009  9aaa"), std::string::npos);
  EXPECT_EQ(text.find("00000007"), std::string::npos);
}

TEST(EventLog, SwitchesAndNoLimit) {
  ExposedDispatcher d(nullptr);
  d.RecordLogEvent(2, 5, 1, nullptr, 0); // not active
  EXPECT_EQ(d.LogQueue.Count(), 0u);
  d.BeginEventLog(0);
  for (int i = 0; i < 50; ++i)
    d.RecordLogEvent(1, 1, 100, std::string(100, 'x').data(), 100);
  EXPECT_EQ(d.LogQueue.Count(), 50u);
  d.PauseEventLog();
  d.RecordLogEvent(2, 5, 1, nullptr, 0);
  EXPECT_EQ(d.LogQueue.Count(), 50u);
  d.ResumeEventLog();
  d.RecordLogEvent(2, 5, 1, nullptr, 0);
  EXPECT_EQ(d.LogQueue.Count(), 51u);
  d.EmptyEventLog();
  EXPECT_EQ(d.LogQueue.Count(), 0u);
  EXPECT_TRUE(d.LogActive);
  d.RecordLogEvent(2, 5, 1, nullptr, 0);
  d.DropEventLog();
  EXPECT_FALSE(d.LogActive);
  EXPECT_EQ(d.LogQueue.Count(), 0u);
}

TEST(EventLog, DumpLayoutAndFailures) {
  ExposedDispatcher d(nullptr);
  support::TempDir dir("trace");
  EXPECT_EQ(d.SaveLogFile(dir / "l.log", false, false), 0);
  EXPECT_FALSE(fs::exists(dir / "l.log")) << "an empty log writes nothing";

  d.DeviceName = "\\\\.\\COM5";
  d.BeginEventLog(0);
  d.RecordLogEvent(7, 17, 0x1234, nullptr, 0);
  d.RecordLogEvent(1, 2, 2, "C\r", 2);
  EXPECT_LT(d.SaveLogFile(dir / "no/such/dir.log", false, false), 0);
  EXPECT_EQ(d.LogQueue.Count(), 2u) << "a log that cannot be written is kept";

  ASSERT_EQ(d.SaveLogFile(dir / "l.log", true, false), 0);
  EXPECT_EQ(d.LogQueue.Count(), 0u);
  EXPECT_TRUE(d.LogActive);
  std::istringstream in(ReadFile(dir / "l.log"));
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);)
    lines.push_back(l);
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[0], "Korvu v4.07");
  EXPECT_EQ(lines[1].rfind("Compiler : ", 0), 0u);
  EXPECT_GT(lines[1].size(), 11u);
  EXPECT_EQ(lines[2].rfind("Operating System : ", 0), 0u);
  EXPECT_LE(lines[2].size(), 19u + 80u);
  EXPECT_NE(lines[2].find("Linux"), std::string::npos) << lines[2];
  EXPECT_EQ(lines[3], "Device: \\\\.\\COM5");
  EXPECT_TRUE(std::regex_match(lines[4], std::regex(R"(Date/time: \d\d/\d\d/\d\d, \d\d:\d\d:\d\d)"))) << lines[4];
  EXPECT_EQ(lines[5], "Time      Type      SubType       Data      OtherData");
  EXPECT_EQ(lines[6], "--------  --------  ------------  --------  ---------");
  EXPECT_TRUE(std::regex_match(lines[7], std::regex(R"(\d{4,}\.\d{3}  TrgHdAlc  Window        00001234  )")))
      << lines[7];
  EXPECT_TRUE(std::regex_match(lines[8], std::regex(R"(\d{4,}\.\d{3}  Dispatch  WriteCom      00000002  C\[0D\])")))
      << lines[8];

  // Appending adds a second header and the new entries.
  d.RecordLogEvent(2, 5, 3, nullptr, 0);
  ASSERT_EQ(d.AppendLogFile(dir / "l.log", false, false), 0);
  EXPECT_EQ(CountLines(ReadFile(dir / "l.log")), 9u + 8u);
}

// ---- On an open port ----

namespace {

// Collects dumped log text until it contains what is looked for.
bool LogEventually(TApdBaseDispatcher &d, const std::string &file, const std::string &needle, std::string &all) {
  return WaitFor([&] {
    if (d.AppendLogFile(file, false, false) != 0)
      return false;
    all = ReadFile(file);
    return all.find(needle) != std::string::npos;
  });
}

} // namespace

TEST(TraceOnPort, PollAndReplyTracedAndLogged) {
  support::PtyPair pty;
  support::TempDir dir("trace");
  ExposedDispatcher d(nullptr);
  ASSERT_EQ(d.OpenDispatcher(pty.SlavePath(), 9600, 0, 8, 0, 4096, 4096, loDtrOn | loRtsOn), 0);
  EXPECT_FALSE(d.TraceActive);
  EXPECT_FALSE(d.LogActive);
  ASSERT_EQ(d.BeginByteTrace(1000), 0);
  d.BeginEventLog(0);

  ASSERT_EQ(d.SendBlock("C\r", 2), 0);
  EXPECT_EQ(pty.Receive(2), "C\r");
  ASSERT_TRUE(pty.Send("AZ=123"));
  ASSERT_TRUE(WaitFor([&] { return d.ReceivedCount() == 6; }));
  uint8_t c;
  for (int i = 0; i < 6; ++i)
    ASSERT_EQ(d.ReceiveByte(c), 0);

  ASSERT_EQ(d.SaveTraceFile(dir / "p.trc", false, false), 0);
  EXPECT_EQ(ReadFile(dir / "p.trc"), Golden("trace_poll_reply.txt"));

  std::string log;
  ASSERT_TRUE(LogEventually(d, dir / "p.log", "AZ=123", log)) << log;
  EXPECT_NE(log.find("  Dispatch  WriteCom      00000002  C[13]\n"), std::string::npos) << log;
  EXPECT_NE(log.find("  Dispatch  ReadCom       00000006  AZ=123\n"), std::string::npos) << log;
  d.CloseDispatcher();
}

TEST(TraceOnPort, FullRingIsLogged) {
  support::PtyPair pty;
  support::TempDir dir("trace");
  ExposedDispatcher d(nullptr);
  ASSERT_EQ(d.OpenDispatcher(pty.SlavePath(), 9600, 0, 8, 0, 4096, 4096, 0), 0);
  d.BeginEventLog(0);
  const std::string block(1024, 'q');
  for (int i = 0; i < 9; ++i)
    ASSERT_TRUE(pty.Send(block));
  ASSERT_TRUE(WaitFor([&] { return d.ReceivedCount() == ReceiveRingSize; }));
  std::string log;
  ASSERT_TRUE(LogEventually(d, dir / "f.log", "Dispatch  Status        00000000  Dispatch buffer full.\n", log));
  d.CloseDispatcher();
}

// Dumps on the main thread while the dispatch thread keeps adding entries
// (a target for the thread sanitizer).
TEST(TraceOnPort, DumpsWhileDataArrives) {
  support::PtyPair pty;
  support::TempDir dir("trace");
  ExposedDispatcher d(nullptr);
  ASSERT_EQ(d.OpenDispatcher(pty.SlavePath(), 9600, 0, 8, 0, 4096, 4096, 0), 0);
  ASSERT_EQ(d.BeginByteTrace(64), 0);
  d.BeginEventLog(500);
  std::atomic<bool> stop{false};
  std::thread farEnd([&] {
    for (int i = 0; i < 200 && !stop; ++i)
      if (!pty.Send("AZ=123  EL=045\r\n"))
        break;
  });
  size_t received = 0, sent = 0;
  uint8_t c;
  WaitFor([&] {
    while (d.ReceiveByte(c) == 0)
      ++received;
    if (sent < 200 && d.SendByte('C') == 0)
      ++sent;
    EXPECT_GE(d.AppendLogFile(dir / "d.log", true, false), 0);
    EXPECT_GE(d.AppendTraceFile(dir / "d.trc", false, true), 0);
    return received >= 200 * 16;
  });
  stop = true;
  farEnd.join();
  EXPECT_EQ(received, 200u * 16);
  d.CloseDispatcher();
  const std::string trace = ReadFile(dir / "d.trc");
  EXPECT_NE(trace.find("Receive: "), std::string::npos);
  EXPECT_NE(trace.find("Transmit: "), std::string::npos);
}
