// The reader of the unit's replies: each form of report, each kind of other
// piece, the 16-byte report's own rules, and a randomized stream of every
// dialect with answers, banners and noise cut at random.
#include "controller/ReplyReader.h"
#include "tests/controller/MixedStream.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

using controller::Reply;
using controller::ReplyReader;
using Kind = Reply::Kind;
using mixed::MakeStream;
using mixed::Stream;

std::vector<Reply> ReadAll(ReplyReader &reader, const std::string &bytes) {
  reader.Feed(bytes);
  std::vector<Reply> out;
  while (auto r = reader.Next())
    out.push_back(*r);
  return out;
}

// What a test expects of one piece; elevation -999: none.
struct Piece {
  Kind kind;
  std::string bytes;
  int32_t az = 0;
  int32_t el = -999;
};

void ExpectPieces(const std::vector<Reply> &got, const std::vector<Piece> &want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE("piece " + std::to_string(i));
    EXPECT_EQ(got[i].kind, want[i].kind);
    EXPECT_EQ(got[i].bytes, want[i].bytes);
    if (want[i].kind == Kind::Report) {
      EXPECT_EQ(got[i].azimuth, want[i].az);
      EXPECT_EQ(got[i].elevation.value_or(-999), want[i].el);
    }
  }
}

Piece R(std::string bytes, int32_t az, int32_t el = -999) { return {Kind::Report, std::move(bytes), az, el}; }
Piece T(std::string bytes) { return {Kind::Text, std::move(bytes)}; }

// Each form a unit of the family sends, handed over whole.
TEST(ReplyReader, EveryReportForm) {
  struct Case {
    const char *name;
    std::string bytes;
    int32_t az, el; // el -999: azimuth only
  } cases[] = {
      {"16 bytes, two spaces", "AZ=123  EL=045\r\n", 123, 45},
      {"one space", "AZ=123 EL=045\r\n", 123, 45},
      {"no space", "AZ=123EL=045\r\n", 123, 45},
      {"azimuth only, CR LF", "AZ=123\r\n", 123, -999},
      {"azimuth only, CR", "AZ=007\r", 7, -999},
      {"azimuth only, LF", "AZ=350\n", 350, -999},
      {"no padding", "AZ=5 EL=12\r\n", 5, 12},
      {"four-digit azimuth", "AZ=0000EL=000\r\n", 0, 0},
      {"overlap azimuth", "AZ=450EL=090\r\n", 450, 90},
      {"badly written negative elevation", "AZ=010EL=00-5\r\n", 10, -5},
      {"16 bytes with a minus", "AZ=010  EL=-05\r\n", 10, -5},
      {"sign form", "+0123+0045\r\n", 123, 45},
      {"sign form, azimuth only", "+0359\r\n", 359, -999},
      {"sign form, CR alone", "+0200+0010\r", 200, 10},
      {"sign form, LF CR", "+0001+0180\n\r", 1, 180},
      {"sign form, negative elevation", "+0090+-005\r\n", 90, -5},
      {"trailing spaces", "AZ=123 EL=045 \r\n", 123, 45},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ReplyReader reader;
    const auto got = ReadAll(reader, c.bytes);
    ExpectPieces(got, {R(c.bytes, c.az, c.el)});
    EXPECT_EQ(got[0].fixedForm, c.bytes.size() == 16 && c.bytes[7] == ' ' && c.bytes.find('-') == std::string::npos);
    EXPECT_EQ(reader.Held(), 0u);
  }
}

// What is not a report is text, whole lines at a time, and never a position.
TEST(ReplyReader, EverythingElseIsText) {
  struct Case {
    const char *name;
    std::string bytes;
    std::vector<Piece> pieces;
    std::size_t held;
  } cases[] = {
      {"an empty line", "\r\n", {T("\r\n")}, 0},
      {"a CR answer", "\r", {T("\r")}, 0},
      {"two CR answers", "\r\r", {T("\r"), T("\r")}, 0},
      {"prompts", "?>\r\n? >\r\n", {T("?>\r\n"), T("? >\r\n")}, 0},
      {"text answers", "CW\r\nRotation Stop\r\n", {T("CW\r\n"), T("Rotation Stop\r\n")}, 0},
      {"a banner starting with AZ", "AZIMUTH ROTOR 1.2\r\n", {T("AZIMUTH ROTOR 1.2\r\n")}, 0},
      {"an AZ line with a letter for a digit", "AZ=1x3\r\n", {T("AZ=1x3\r\n")}, 0},
      {"five digits", "AZ=12345\r\n", {T("AZ=12345\r\n")}, 0},
      {"no number", "AZ=\r\nEL=045\r\n", {T("AZ=\r\n"), T("EL=045\r\n")}, 0},
      {"noise up to a report", "xy#+0123\r\n", {T("xy#"), R("+0123\r\n", 123)}, 0},
      {"a report cut short, then a whole one", "AZ=12AZ=124\r\n", {T("AZ=12"), R("AZ=124\r\n", 124)}, 0},
      {"a sign report cut short", "+01+0123+0045\r\n", {T("+01"), R("+0123+0045\r\n", 123, 45)}, 0},
      {"a 16-byte report cut short", "AZ=123  EAZ=1\r\n", {T("AZ=123  E"), R("AZ=1\r\n", 1)}, 0},
      {"forty bytes of noise", std::string(40, 'q'), {T(std::string(40, 'q'))}, 0},
      {"an A that starts nothing", "bA\r", {T("bA\r")}, 0},
      {"noise then an A still arriving", "xyzA", {T("xyz")}, 1},
      {"a sign form still arriving", "+0123+00", {}, 8},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ReplyReader reader;
    ExpectPieces(ReadAll(reader, c.bytes), c.pieces);
    EXPECT_EQ(reader.Held(), c.held);
  }
}

// The 16-byte report keeps its old rules: it waits until 16 bytes are there,
// a leading CR and whatever else the same delivery holds go with it, and the
// report read one byte late ("Z" first, "A" sixteenth) is still a report.
TEST(ReplyReader, SixteenByteReportKeepsItsRules) {
  const std::string r = "AZ=123  EL=045\r\n";
  struct Case {
    const char *name;
    std::string waiting;
    std::size_t take;
  } cases[] = {
      {"nothing", "", 0},
      {"a lone A", "A", 0},
      {"CR A", "\rA", 0},
      {"fifteen bytes of it", r.substr(0, 15), 0},
      {"it whole", r, 16},
      {"with a leading CR", "\r" + r, 17},
      {"with a trailing CR", r + "\r", 17},
      {"and the next one's A", r + "A", 16},
      {"and the next one", r + r, 16},
      {"a CR answer, the next", r + "\r" + r, 16},
      {"and a sign report", r + "+0123\r", 16},
      {"Z first, A sixteenth", "Z=123  EL=045\r\nA", 16},
      {"Z first, A sixteenth, then a report", "Z=123  EL=045\r\nA" + r, 16},
      {"a report without its A, then the next", "Z=123  EL=045\r\n" + r, 15},
      {"noise up to a CR report", "xyz\r" + r, 3},
      {"a space in a digit", "AZ= 45  EL=000\r\n", 16},
  };
  for (const Case &c : cases) {
    ReplyReader reader;
    EXPECT_EQ(reader.NextLength(c.waiting), c.take) << c.name;
  }

  struct Values {
    std::string bytes;
    int32_t az, el;
  } values[] = {{r, 123, 45},
                {"\rAZ=010  EL=090\r", 10, 90},
                {"Z=123  EL=045\r\nA", 123, 45},
                {"AZ= 45  EL=000\r\n", -1555, 0},
                {"AZ=359  EL=000\r\n\r", 359, 0}};
  for (const Values &v : values) {
    ReplyReader reader;
    const Reply got = reader.Take(v.bytes);
    EXPECT_EQ(got.kind, Kind::Report) << v.bytes;
    EXPECT_TRUE(got.fixedForm) << v.bytes;
    EXPECT_EQ(got.azimuth, v.az) << v.bytes;
    EXPECT_EQ(got.elevation, v.el) << v.bytes;
  }
}

// A line end whose second byte comes late is handed out as that, not as a
// line of its own; a byte that only looks like it is text.
TEST(ReplyReader, LateSecondByteOfALineEnd) {
  struct Case {
    const char *name;
    std::vector<std::string> feeds;
    std::vector<Piece> pieces;
  } cases[] = {
      {"LF after CR", {"AZ=123\r", "\n"}, {R("AZ=123\r", 123), {Kind::LineEnd, "\n"}}},
      {"CR after LF", {"+0001+0002\n", "\r"}, {R("+0001+0002\n", 1, 2), {Kind::LineEnd, "\r"}}},
      {"a CR after a whole CR LF is an answer", {"AZ=123\r\n", "\r"}, {R("AZ=123\r\n", 123), T("\r")}},
      {"two CR answers", {"\r", "\r"}, {T("\r"), T("\r")}},
      {"an empty line in two", {"\r", "\n"}, {T("\r"), {Kind::LineEnd, "\n"}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ReplyReader reader;
    std::vector<Reply> got;
    for (const std::string &f : c.feeds)
      for (Reply &r : ReadAll(reader, f))
        got.push_back(std::move(r));
    ExpectPieces(got, c.pieces);
  }
}

// ------------------------------------------------------------ random streams

TEST(ReplyReader, RandomStreamsAtRandomSplitsGiveEveryReportInOrder) {
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const Stream s = MakeStream(rng, 200);
    ReplyReader reader;
    std::vector<std::pair<int32_t, int32_t>> shown;
    std::string pieces;
    std::vector<std::string> reportBytes;
    for (std::size_t pos = 0; pos < s.bytes.size();) {
      // Single bytes, adapter chunks and several replies at once.
      const std::size_t n = std::min<std::size_t>(rng() % 3 == 0 ? 1 : 1 + rng() % 40, s.bytes.size() - pos);
      for (const Reply &r : ReadAll(reader, s.bytes.substr(pos, n))) {
        pieces += r.bytes;
        if (r.kind == Kind::Report) {
          shown.push_back({r.azimuth, r.elevation.value_or(-999)});
          reportBytes.push_back(r.bytes);
        }
      }
      pos += n;
    }
    EXPECT_EQ(reader.Held(), 0u);
    EXPECT_EQ(pieces, s.bytes); // nothing lost, nothing twice
    EXPECT_EQ(shown, s.reports);
    for (std::size_t i = 0; i < std::min(shown.size(), s.reports.size()); ++i)
      if (shown[i] != s.reports[i]) {
        ADD_FAILURE() << "report " << i << " read from " << ::testing::PrintToString(reportBytes[i]);
        break;
      }
  }
}

} // namespace
