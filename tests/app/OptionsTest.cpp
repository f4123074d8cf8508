// The command line: --rotctld and its endpoint forms, --help, and everything
// else refused with a message.
#include "app/ProgramOptions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(ProgramOptions, EndpointsAndErrors) {
  struct Case {
    std::vector<std::string> args;
    bool ok;
    bool network;
    const char *address;
    uint16_t port;
    bool help = false;
  } cases[] = {
      {{}, true, false, "127.0.0.1", 0},
      {{"--rotctld", "4533"}, true, true, "127.0.0.1", 4533},
      {{"--rotctld=4533"}, true, true, "127.0.0.1", 4533},
      {{"--rotctld", "0.0.0.0:4533"}, true, true, "0.0.0.0", 4533},
      {{"--rotctld", "192.168.1.20:1"}, true, true, "192.168.1.20", 1},
      {{"--rotctld", "localhost:65535"}, true, true, "127.0.0.1", 65535},
      {{"--rotctld", "[::1]:4533"}, true, true, "::1", 4533},
      {{"--rotctld"}, false, false, "", 0},
      {{"--rotctld", "0"}, false, false, "", 0},
      {{"--rotctld", "65536"}, false, false, "", 0},
      {{"--rotctld", "45x3"}, false, false, "", 0},
      {{"--rotctld", "-1"}, false, false, "", 0},
      {{"--rotctld", ""}, false, false, "", 0},
      {{"--rotctld", "127.0.0.1:"}, false, false, "", 0},
      {{"--rotctld", "example.org:4533"}, false, false, "", 0},
      {{"--rotctld", "::1:4533"}, false, false, "", 0},
      {{"--rotctld", "[::1]4533"}, false, false, "", 0},
      {{"--rotctld", "4533", "--rotctld", "4534"}, false, false, "", 0},
      {{"--help"}, true, false, "127.0.0.1", 0, true},
      {{"-h"}, true, false, "127.0.0.1", 0, true},
      {{"--rotctld", "4533", "--help"}, true, true, "127.0.0.1", 4533, true},
      {{"--help", "--bogus"}, false, false, "", 0},
      {{"--help=yes"}, false, false, "", 0},
      {{"-platform", "offscreen"}, false, false, "", 0},
      {{"4533"}, false, false, "", 0},
  };
  for (const Case &c : cases) {
    std::string joined;
    for (const auto &a : c.args)
      joined += "'" + a + "' ";
    ProgramOptions out;
    out.port = 7; // untouched on error
    const std::string error = ParseProgramOptions(c.args, out);
    EXPECT_EQ(error.empty(), c.ok) << joined << error;
    if (!c.ok) {
      EXPECT_EQ(out.port, 7) << joined;
      continue;
    }
    EXPECT_EQ(out.networkControl, c.network) << joined;
    EXPECT_EQ(out.address, c.address) << joined;
    EXPECT_EQ(out.port, c.port) << joined;
    EXPECT_EQ(out.help, c.help) << joined;
  }
}

TEST(ProgramOptions, UsageLineNamesTheOptions) {
  EXPECT_NE(std::string(UsageLine()).find("--rotctld"), std::string::npos);
  EXPECT_NE(std::string(UsageLine()).find("--help"), std::string::npos);
}

// The help starts with the usage line and names the usual reasons a port
// does not open on Linux, and where the files are.
TEST(ProgramOptions, HelpExplainsPortsThatDoNotOpen) {
  const std::string help = HelpText();
  EXPECT_EQ(help.rfind(std::string(UsageLine()) + "\n", 0), 0u);
  for (const char *word : {"--rotctld", "dialout", "ModemManager", "brltty", "permission denied", "busy", "not fitted",
                           "Zelkor_M.ini", "COMn", ".local/share/zelkor"})
    EXPECT_NE(help.find(word), std::string::npos) << word;
  // Fits a terminal.
  std::size_t start = 0;
  while (start < help.size()) {
    const std::size_t end = help.find('\n', start);
    ASSERT_NE(end, std::string::npos) << "the help ends with a line break";
    EXPECT_LE(end - start, 80u) << help.substr(start, end - start);
    start = end + 1;
  }
}

} // namespace
