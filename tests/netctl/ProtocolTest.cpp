// Requests as clients write them, and the replies they parse.
#include "netctl/Protocol.h"
#include "tests/netctl/CommaLocale.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cmath>
#include <string>

namespace {

using netctl::Command;
using netctl::ParseRequest;
using netctl::Request;

TEST(ParseRequest, CommandsArgumentsAndPrefixes) {
  struct Case {
    const char *line;
    Command command;
    char separator;
    int error;
    const char *name;
  } cases[] = {
      {"p", Command::GetPos, 0, 0, "get_pos"},
      {"\\get_pos", Command::GetPos, 0, 0, "get_pos"},
      {"  p \t", Command::GetPos, 0, 0, "get_pos"},
      {"+p", Command::GetPos, '\n', 0, "get_pos"},
      {"+\\get_pos", Command::GetPos, '\n', 0, "get_pos"},
      {";p", Command::GetPos, ';', 0, "get_pos"},
      {"|\\get_pos", Command::GetPos, '|', 0, "get_pos"},
      {"P 270 30", Command::SetPos, 0, 0, "set_pos"},
      {"\\set_pos 270.000000 30.000000", Command::SetPos, 0, 0, "set_pos"},
      {"S", Command::Stop, 0, 0, "stop"},
      {"\\stop", Command::Stop, 0, 0, "stop"},
      {"K", Command::Park, 0, 0, "park"},
      {"\\park", Command::Park, 0, 0, "park"},
      {"M 16 0", Command::Move, 0, 0, "move"},
      {"\\move CCW 50", Command::Move, 0, 0, "move"},
      {"_", Command::GetInfo, 0, 0, "get_info"},
      {"\\get_info", Command::GetInfo, 0, 0, "get_info"},
      {"\\dump_state", Command::DumpState, 0, 0, "dump_state"},
      {"1", Command::DumpCaps, 0, 0, "dump_caps"},
      {"\\dump_caps", Command::DumpCaps, 0, 0, "dump_caps"},
      {"q", Command::Quit, 0, 0, ""},
      {"", Command::Blank, 0, 0, ""},
      {" \t ", Command::Blank, 0, 0, ""},
      // Known but not offered: not implemented.
      {"R 1", Command::Unsupported, 0, -4, "reset"},
      {"\\get_conf x", Command::Unsupported, 0, -4, "get_conf"},
      // Missing, extra and bad arguments.
      {"P 270", Command::SetPos, 0, -1, "set_pos"},
      {"P", Command::SetPos, 0, -1, "set_pos"},
      {"P 270 30 5", Command::SetPos, 0, -1, "set_pos"},
      {"P abc 30", Command::SetPos, 0, -1, "set_pos"},
      {"P 270 nan", Command::SetPos, 0, -1, "set_pos"},
      {"P inf 0", Command::SetPos, 0, -1, "set_pos"},
      {"P 1e999 0", Command::SetPos, 0, -1, "set_pos"},
      {"P 0x10 0", Command::SetPos, 0, -1, "set_pos"},
      {"p 1", Command::GetPos, 0, -1, "get_pos"},
      {"M 16", Command::Move, 0, -1, "move"},
      {"M 17 0", Command::Move, 0, -1, "move"},
      {"M 16 fast", Command::Move, 0, -1, "move"},
      {"M 32 0", Command::Move, 0, -11, "move"}, // a diagonal: both axes at once
      // Garbage.
      {"x", Command::Unknown, 0, -1, ""},
      {"pp", Command::Unknown, 0, -1, ""},
      {"P270 30", Command::Unknown, 0, -1, ""},
      {"\\", Command::Unknown, 0, -1, ""},
      {"\\get_posx", Command::Unknown, 0, -1, ""},
      {"+", Command::Unknown, '\n', -1, ""},
      {"\x01\xff\x7f", Command::Unknown, 0, -1, ""},
  };
  for (const Case &c : cases) {
    const Request r = ParseRequest(c.line);
    EXPECT_EQ(r.command, c.command) << c.line;
    EXPECT_EQ(r.separator, c.separator) << c.line;
    EXPECT_EQ(r.error, c.error) << c.line;
    EXPECT_EQ(r.name, c.name) << c.line;
  }
}

TEST(ParseRequest, TargetsAndDirections) {
  const Request comma = ParseRequest("P 123,5 -4,25");
  EXPECT_EQ(comma.error, 0);
  EXPECT_DOUBLE_EQ(comma.az, 123.5);
  EXPECT_DOUBLE_EQ(comma.el, -4.25);
  EXPECT_EQ(comma.args, (std::vector<std::string>{"123,5", "-4,25"}));

  struct Case {
    const char *line;
    netctl::Turn turn;
  } turns[] = {{"M 8 0", netctl::Turn::Ccw},         {"M CCW 0", netctl::Turn::Ccw}, {"M left 10", netctl::Turn::Ccw},
               {"M 16 0", netctl::Turn::Cw},         {"M cw 0", netctl::Turn::Cw},   {"M RIGHT 0", netctl::Turn::Cw},
               {"M 2 0", netctl::Turn::Up},          {"M UP 0", netctl::Turn::Up},   {"M 4 0", netctl::Turn::Down},
               {"\\move DOWN 0", netctl::Turn::Down}};
  for (const Case &c : turns) {
    const Request r = ParseRequest(c.line);
    EXPECT_EQ(r.error, 0) << c.line;
    EXPECT_EQ(r.turn, c.turn) << c.line;
  }
}

TEST(ParseNumber, PointCommaAndRejects) {
  struct Case {
    const char *text;
    bool ok;
    double value;
  } cases[] = {
      {"0", true, 0},      {"270", true, 270},  {"270.5", true, 270.5}, {"270,5", true, 270.5},    {"-30", true, -30},
      {"+30", true, 30},   {".5", true, 0.5},   {"1e2", true, 100},     {"270.000000", true, 270}, {"", false, 0},
      {"1,2.3", false, 0}, {"1..2", false, 0},  {"12a", false, 0},      {"inf", false, 0},         {"nan", false, 0},
      {"-", false, 0},     {"0x1p3", false, 0}, {"1e400", false, 0},    {"--1", false, 0}};
  for (const Case &c : cases) {
    const auto v = netctl::ParseNumber(c.text);
    EXPECT_EQ(v.has_value(), c.ok) << c.text;
    if (v && c.ok) {
      EXPECT_DOUBLE_EQ(*v, c.value) << c.text;
    }
  }
}

TEST(NormaliseTarget, TargetsWithinTheRangeAreRoundedTheRestRefused) {
  struct Case {
    double az, el;
    int azMax;
    bool taken;
    int wantAz, wantEl;
  } cases[] = {
      {270, 30, 360, true, 270, 30},   {360, 0, 360, true, 360, 0},      {359.6, 0, 360, true, 360, 0},
      {10.5, 20.5, 360, true, 11, 21}, {-30, 0, 360, true, -30, 0},      {-180, 0, 360, true, -180, 0},
      {0, 179.7, 360, true, 0, 180},   {0, 180, 360, true, 0, 180},      {400, 10, 450, true, 400, 10},
      {450, 0, 450, true, 450, 0},     {400, 10, 360, false, 0, 0},      {360.1, 0, 360, false, 0, 0},
      {500, 0, 450, false, 0, 0},      {1e3, 10, 450, false, 0, 0},      {-180.5, 0, 360, false, 0, 0},
      {-360, 0, 360, false, 0, 0},     {10, 200, 360, false, 0, 0},      {10, 180.2, 360, false, 0, 0},
      {10, -0.1, 360, false, 0, 0},    {1e300, 0, 450, false, 0, 0},     {NAN, 0, 360, false, 0, 0},
      {0, INFINITY, 360, false, 0, 0}, {-INFINITY, 0, 450, false, 0, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.az << " " << c.el << " within " << c.azMax);
    int az = -999, el = -999;
    ASSERT_EQ(netctl::NormaliseTarget(c.az, c.el, c.azMax, az, el), c.taken);
    if (c.taken) {
      EXPECT_EQ(az, c.wantAz);
      EXPECT_EQ(el, c.wantEl);
    }
  }
}

TEST(FormatReply, PlainAndLabelledForms) {
  struct Case {
    const char *line;
    int code;
    std::vector<netctl::Field> fields;
    const char *reply;
  } cases[] = {
      {"p", 0, netctl::PositionFields(12, 3), "12.00\n3.00\n"},
      {"p", -5, {}, "RPRT -5\n"},
      {"+p", 0, netctl::PositionFields(12, 3), "get_pos:\nAzimuth: 12.00\nElevation: 3.00\nRPRT 0\n"},
      {";p", 0, netctl::PositionFields(12, 3), "get_pos:;Azimuth: 12.00;Elevation: 3.00;RPRT 0\n"},
      {"|\\get_pos", 0, netctl::PositionFields(359, 180), "get_pos:|Azimuth: 359.00|Elevation: 180.00|RPRT 0\n"},
      {"+p", -5, {}, "get_pos:\nRPRT -5\n"},
      {"P 270 30", 0, {}, "RPRT 0\n"},
      {"P 270 30", -5, {}, "RPRT -5\n"},
      {"+P 270 30", 0, {}, "set_pos: 270 30\nRPRT 0\n"},
      {";\\set_pos 1,5 2", -1, {}, "set_pos: 1,5 2;RPRT -1\n"},
      {"S", 0, {}, "RPRT 0\n"},
      {"_", 0, {{"Info", "unit"}}, "unit\n"},
      {"+_", 0, {{"Info", "unit"}}, "get_info:\nInfo: unit\nRPRT 0\n"},
      {"1", 0, {{"", "Model name:\tX"}}, "Model name:\tX\nRPRT 0\n"},
      {"x", -1, {}, "RPRT -1\n"},
      {"+x", -1, {}, "RPRT -1\n"},
  };
  for (const Case &c : cases)
    EXPECT_EQ(netctl::FormatReply(ParseRequest(c.line), c.code, c.fields), c.reply) << c.line;
}

TEST(FormatReply, DumpStateExactlyPlainAndLabelled) {
  EXPECT_EQ(netctl::FormatReply(ParseRequest("\\dump_state"), 0, netctl::DumpStateFields(450)),
            "1\n1\n0.000000\n450.000000\n0.000000\n180.000000\nmin_az=0.000000\nmax_az=450.000000\n"
            "min_el=0.000000\nmax_el=180.000000\nsouth_zero=0\nrot_type=AzEl\ndone\n");
  EXPECT_EQ(netctl::FormatReply(ParseRequest("\\dump_state"), 0, netctl::DumpStateFields(360)),
            "1\n1\n0.000000\n360.000000\n0.000000\n180.000000\nmin_az=0.000000\nmax_az=360.000000\n"
            "min_el=0.000000\nmax_el=180.000000\nsouth_zero=0\nrot_type=AzEl\ndone\n");
  EXPECT_EQ(netctl::FormatReply(ParseRequest("+\\dump_state"), 0, netctl::DumpStateFields(360, true)),
            "dump_state:\nProtocol version: 1\nRotor Model: 1\nMinimum Azimuth: 0.000000\n"
            "Maximum Azimuth: 360.000000\nMinimum Elevation: 0.000000\nMaximum Elevation: 180.000000\n"
            "South Zero: 0\nRotor Type: AzEl\nRPRT 0\n");
}

TEST(FormatReply, DumpCapsLinesAreKeyTabValueAndEndWithStatus) {
  const std::string caps =
      netctl::FormatReply(ParseRequest("\\dump_caps"), 0, netctl::DumpCapsFields("Zelkor G V1.0", 450));
  EXPECT_NE(caps.find("Model name:\tZelkor G V1.0\n"), std::string::npos);
  EXPECT_NE(caps.find("Max Azimuth:\t450.00\n"), std::string::npos);
  ASSERT_GE(caps.size(), 7u);
  EXPECT_EQ(caps.substr(caps.size() - 7), "RPRT 0\n");
  std::size_t start = 0;
  while (start < caps.size() - 7) {
    const std::size_t end = caps.find('\n', start);
    const std::string line = caps.substr(start, end - start);
    EXPECT_NE(line.find(":\t"), std::string::npos) << line;
    start = end + 1;
  }
}

// Qt sets the process locale from the environment; a comma locale must not
// leak into the numbers we write or read.
TEST(Fixed, IndependentOfTheProcessLocale) {
  CommaLocale comma;
  if (!comma.Ok())
    GTEST_SKIP() << "localedef could not build a comma locale";
  const char *previous = std::setlocale(LC_ALL, nullptr);
  const std::string saved = previous ? previous : "C";
  setenv("LOCPATH", comma.Folder().c_str(), 1);
  ASSERT_NE(std::setlocale(LC_ALL, CommaLocale::Name()), nullptr);
  char printed[16];
  std::snprintf(printed, sizeof printed, "%.2f", 12.5);
  EXPECT_STREQ(printed, "12,50") << "the locale is in force";

  EXPECT_EQ(netctl::Fixed(12, 2), "12.00");
  EXPECT_EQ(netctl::Fixed(270.5, 2), "270.50");
  EXPECT_EQ(netctl::Fixed(-5, 2), "-5.00");
  EXPECT_EQ(netctl::FormatReply(ParseRequest("p"), 0, netctl::PositionFields(359.5, 0.25)), "359.50\n0.25\n");
  EXPECT_DOUBLE_EQ(netctl::ParseNumber("12.25").value_or(0), 12.25);
  EXPECT_DOUBLE_EQ(netctl::ParseNumber("12,25").value_or(0), 12.25);

  std::setlocale(LC_ALL, saved.c_str());
  unsetenv("LOCPATH");
}

} // namespace
