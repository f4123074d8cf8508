// Text forms of the byte trace and the dispatch log, checked against golden
// files and against the layout rules (byte forms, wrapping, extra columns).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "dispatcher/AwTraceFormat.h"

using namespace awtrace;

namespace {

std::string Golden(const std::string &name) {
  std::ifstream in(std::string(ZK_GOLDEN_DIR) + "/" + name, std::ios::binary);
  EXPECT_TRUE(in.good()) << name;
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// A trace buffer as the dispatcher keeps it, filled through the same
// position/wrap rule.
struct TraceBuf {
  explicit TraceBuf(uint32_t cap) : capacity(cap), bytes(2 * cap, 0) {}
  void Record(uint8_t kind, uint8_t b) {
    bytes[2 * position] = kind;
    bytes[2 * position + 1] = b;
    if (++position == capacity) {
      position = 0;
      wrapped = true;
    }
  }
  void Record(uint8_t kind, const std::string &s) {
    for (unsigned char c : s)
      Record(kind, c);
  }
  std::string Text(bool hex = false, bool allHex = false) const {
    return FormatTrace(bytes.data(), capacity, position, wrapped, hex, allHex);
  }
  uint32_t capacity;
  std::vector<uint8_t> bytes;
  uint32_t position = 0;
  bool wrapped = false;
};

std::string ByteForm(uint8_t b, bool hex, bool allHex, bool raw, int *width) {
  std::string s;
  *width = AppendDataByte(s, b, hex, allHex, raw);
  return s;
}

} // namespace

TEST(TraceFormat, ByteForms) {
  struct Case {
    uint8_t b;
    bool hex, allHex, raw;
    const char *text;
    int width;
  };
  const Case cases[] = {
      {'\r', false, false, false, "[13]", 4},  {'\r', true, false, false, "[0D]", 4},
      {' ', false, false, false, " ", 1},      {' ', true, false, false, "[20]", 4},
      {'!', true, false, false, "!", 1},       {'~', false, false, false, "~", 1},
      {0x7F, false, false, false, "[127]", 5}, {0x7F, true, false, false, "[7F]", 4},
      {5, false, false, false, "[5]", 3},      {0, false, false, false, "[0]", 3},
      {10, false, false, false, "[10]", 4},    {99, false, false, false, "c", 1},
      {0xFF, false, false, false, "[255]", 5}, {'A', false, true, false, "[41]", 4},
      {0xAB, true, true, false, "[AB]", 4},    {'\r', false, true, true, "\r", 1},
  };
  for (const Case &c : cases) {
    int width = -1;
    EXPECT_EQ(ByteForm(c.b, c.hex, c.allHex, c.raw, &width), c.text) << int(c.b);
    EXPECT_EQ(width, c.width) << int(c.b);
  }
}

TEST(TraceFormat, CircularBufferDumpsOldestFirst) {
  TraceBuf t(3);
  t.Record(kTraceReceive, "ABCD");
  EXPECT_EQ(t.Text(), Golden("trace_capacity3.txt"));
}

TEST(TraceFormat, PollAndReplyGroupedByDirection) {
  TraceBuf t(100);
  t.Record(kTraceTransmit, "C\r");
  t.Record(kTraceReceive, "AZ=123");
  EXPECT_EQ(t.Text(), Golden("trace_poll_reply.txt"));
  EXPECT_EQ(t.Text(true), Golden("trace_poll_reply_hex.txt"));
}

TEST(TraceFormat, EmptyTraceWritesNothing) {
  TraceBuf t(4);
  EXPECT_EQ(t.Text(), "");
  EXPECT_EQ(FormatTrace(nullptr, 0, 0, false, false, false), "");
  // A buffer filled exactly once: position back at 0 but wrapped.
  t.Record(kTraceReceive, "wxyz");
  EXPECT_EQ(t.Text(), "Receive: \nwxyz\n");
}

TEST(TraceFormat, LabelsForEveryKindChange) {
  TraceBuf t(16);
  t.Record(kTraceTransmit, "a");
  t.Record('X', "b");
  t.Record('X', "c");
  t.Record(kTraceTransmit, "d");
  EXPECT_EQ(t.Text(), "Transmit: \na\n\nSpecial-X: \nbc\n\nTransmit: \nd\n");
}

TEST(TraceFormat, WrapsAfterColumn78) {
  struct Case {
    std::string data;
    std::string expected;
  };
  const std::string x77(77, 'x'), x78(78, 'x');
  const Case cases[] = {
      {x78, "Receive: \n" + x78 + "\n"},
      {x78 + "y", "Receive: \n" + x78 + "\ny\n"},
      // A wide byte that would end past 78 moves to the next line whole.
      {x77 + "\r", "Receive: \n" + x77 + "\n[13]\n"},
      {std::string(74, 'x') + "\r", "Receive: \n" + std::string(74, 'x') + "[13]\n"},
      {x78 + x78 + "z", "Receive: \n" + x78 + "\n" + x78 + "\nz\n"},
  };
  for (const Case &c : cases) {
    TraceBuf t(400);
    t.Record(kTraceReceive, c.data);
    EXPECT_EQ(t.Text(), c.expected) << c.data.size();
  }
}

TEST(TraceFormat, AllHexWrapsOnWidthFour) {
  TraceBuf t(64);
  t.Record(kTraceTransmit, std::string(20, 'A'));
  std::string line;
  for (int i = 0; i < 19; ++i)
    line += "[41]";
  EXPECT_EQ(t.Text(false, true), "Transmit: \n" + line + "\n[41]\n");
}

TEST(LogFormat, TimeForm) {
  const std::pair<uint32_t, const char *> cases[] = {
      {0, "0000.000"},       {7, "0000.007"},         {12345, "0012.345"},
      {9999999, "9999.999"}, {10000000, "10000.000"}, {4294967295u, "4294967.295"},
  };
  for (auto [ms, text] : cases)
    EXPECT_EQ(FormatLogTime(ms), text);
}

TEST(LogFormat, ReadComEntry) {
  const uint8_t bytes[] = {'A', 'Z', '='};
  TLogEntryView e{1, 1, 12345, 3, bytes, 3};
  EXPECT_EQ(FormatLogEntry(e, false, false), Golden("log_readcom.txt"));
}

TEST(LogFormat, EntriesWithoutBytes) {
  struct Case {
    TLogEntryView e;
    const char *text;
  };
  const Case cases[] = {
      {{2, 5, 1, 16, nullptr, 0}, "0000.001  Trigger   Avail         00000010  \n"},
      {{7, 17, 2500, 0xBEEF, nullptr, 0}, "0002.500  TrgHdAlc  Window        0000BEEF  \n"},
      {{9, 16, 0, 0xFFFFFFFF, nullptr, 0}, "0000.000  TrDatChg  Avail         FFFFFFFF  \n"},
      // Subtype 0 leaves its field blank.
      {{0, 0, 0, 0, nullptr, 0}, "0000.000  No event                00000000  \n"},
  };
  for (const Case &c : cases)
    EXPECT_EQ(FormatLogEntry(c.e, false, false), c.text);
}

TEST(LogFormat, BufferFullEntry) {
  const std::string msg = "Dispatch buffer full.";
  TLogEntryView e{1, 8, 50, 0, reinterpret_cast<const uint8_t *>(msg.data()), static_cast<uint32_t>(msg.size())};
  EXPECT_EQ(FormatLogEntry(e, false, false), "0000.050  Dispatch  Status        00000000  Dispatch buffer full.\n");
  // With the hex option the spaces turn into [20].
  EXPECT_EQ(FormatLogEntry(e, true, false),
            "0000.050  Dispatch  Status        00000000  Dispatch[20]buffer[20]full.\n");
}

TEST(LogFormat, OtherDataWrapsWithContinuationIndent) {
  const std::string pad(44, ' ');
  struct Case {
    std::string bytes;
    bool allHex;
    std::string other; // expected other-data text after the fields
  };
  const std::string b33(33, 'b');
  std::string hex8;
  for (int i = 0; i < 8; ++i)
    hex8 += "[62]";
  const Case cases[] = {
      {b33, false, b33},
      {b33 + "c", false, b33 + "\n" + pad + "c"},
      {b33 + b33 + "d", false, b33 + "\n" + pad + b33 + "\n" + pad + "d"},
      // Four-wide bytes: 8 fit (column 77), the 9th would reach 81.
      {std::string(9, 'b'), true, hex8 + "\n" + pad + "[62]"},
  };
  for (const Case &c : cases) {
    TLogEntryView e{1,
                    2,
                    0,
                    static_cast<uint32_t>(c.bytes.size()),
                    reinterpret_cast<const uint8_t *>(c.bytes.data()),
                    static_cast<uint32_t>(c.bytes.size())};
    const std::string text = FormatLogEntry(e, false, c.allHex);
    ASSERT_GE(text.size(), 44u);
    EXPECT_EQ(text.substr(0, 10), "0000.000  ");
    EXPECT_EQ(text.substr(44), c.other + "\n") << c.bytes.size();
    // No line of the entry is longer than 78 characters.
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
      EXPECT_LE(line.size(), 78u);
  }
}

TEST(LogFormat, ModemBitsStatusKindsOptionsAndUserText) {
  const uint8_t one[] = {7};
  TLogEntryView modem{1, 4, 0, 0x31, one, 1};
  EXPECT_EQ(FormatLogEntry(modem, false, false).substr(44), "[7](DCTS CTS DSR)\n");
  modem.Data = 0x100; // only the low byte names bits
  EXPECT_EQ(FormatLogEntry(modem, false, false).substr(44), "[7]()\n");

  for (uint8_t kind : {0, 1, 2, 3, 4, 5}) {
    const uint8_t b[] = {kind, 'x'};
    const char *names[] = {"(Not active)",         "(Modem status)",       "(Line status)",
                           "(Output buffer free)", "(Output buffer used)", "(Output sent)"};
    for (uint8_t type : {5, 6}) {
      TLogEntryView e{type, 15, 0, 0, b, 2};
      EXPECT_EQ(FormatLogEntry(e, false, false).substr(44), std::string(names[kind]) + "\n");
    }
  }
  // Other types with subtype 15 show their bytes.
  const uint8_t two[] = {2, 'x'};
  EXPECT_EQ(FormatLogEntry({2, 15, 0, 0, two, 2}, false, false).substr(44), "[2]x\n");

  TLogEntryView telnet{10, 0, 0, 43, nullptr, 0};
  EXPECT_EQ(FormatLogEntry(telnet, false, false).substr(44), "[]\n");
  telnet.Data = 0;
  const std::string named = FormatLogEntry(telnet, false, false).substr(44);
  EXPECT_EQ(named.front(), '[');
  EXPECT_GT(named.size(), 3u) << "option 0 has a name";

  const uint8_t user[] = {'h', '\r'};
  EXPECT_EQ(FormatLogEntry({19, 0, 0, 2, user, 2}, false, true).substr(44), "h\r\n");
  EXPECT_EQ(FormatLogEntry({18, 0, 0, 2, user, 2}, false, true).substr(44), "[68][0D]\n");
}

TEST(LogFormat, Header) {
  TLocalTime t{2026, 3, 5, 7, 8, 9};
  EXPECT_EQ(FormatLogHeader("\\\\.\\COM3", "GCC 12.2.0", "Linux 6.1.0 x86_64", t), Golden("log_header.txt"));
  // The operating system description is cut at 80 characters.
  const std::string longOs(120, 'o');
  const std::string h = FormatLogHeader("d", "c", longOs, t);
  EXPECT_NE(h.find("Operating System : " + std::string(80, 'o') + "\n"), std::string::npos);
  EXPECT_EQ(h.find(std::string(81, 'o')), std::string::npos);
  EXPECT_NE(CompilerDescription().find_first_of("0123456789"), std::string::npos);
}

TEST(TextFile, ReplaceAppendAndFailures) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("zk_textfile_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string name = (dir / "out.txt").string();
  {
    TTextFile f;
    ASSERT_EQ(f.Open(name, true), 0); // append creates a missing file
    f.Write("one\n");
    EXPECT_EQ(f.Close(), 0);
    ASSERT_EQ(f.Open(name, true), 0);
    f.Write(std::string(2000, 'a')); // more than the buffer
    EXPECT_EQ(f.Close(), 0);
  }
  EXPECT_EQ(fs::file_size(name), 2004u);
  {
    TTextFile f;
    ASSERT_EQ(f.Open(name, false), 0);
    f.Write("two\n");
    EXPECT_EQ(f.Close(), 0);
  }
  EXPECT_EQ(fs::file_size(name), 4u);

  TTextFile f;
  EXPECT_EQ(f.Open((dir / "missing" / "x.txt").string(), false), -2);
  EXPECT_EQ(f.Open((dir / "out.txt" / "x.txt").string(), false), -3);
  EXPECT_EQ(f.Close(), 0);
  // A full device: the failure shows at the latest on closing.
  if (fs::exists("/dev/full")) {
    ASSERT_EQ(f.Open("/dev/full", false), 0);
    f.Write(std::string(4096, 'z'));
    EXPECT_LT(f.Close(), 0);
  }
  fs::remove_all(dir);
}
