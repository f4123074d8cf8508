// The command line: --rotctld and its endpoint forms, and everything else
// refused with a message.
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
      {{"--help"}, false, false, "", 0},
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
  }
}

TEST(ProgramOptions, UsageLineNamesTheOption) {
  EXPECT_NE(std::string(UsageLine()).find("--rotctld"), std::string::npos);
}

} // namespace
