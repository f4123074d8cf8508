// Line splitting under whole, chunked and byte-by-byte delivery.
#include "netctl/LineReader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Line {
  std::string text;
  bool overlong;
  bool operator==(const Line &) const = default;
};

// Feeds `stream` in pieces of `chunk` bytes (0: all at once).
std::vector<Line> Split(netctl::LineReader &reader, const std::string &stream, std::size_t chunk) {
  std::vector<Line> out;
  std::size_t at = 0;
  while (at < stream.size()) {
    const std::size_t n = chunk == 0 ? stream.size() : std::min(chunk, stream.size() - at);
    std::string_view piece(stream.data() + at, n);
    while (reader.Take(piece))
      out.push_back({reader.line(), reader.overlong()});
    EXPECT_TRUE(piece.empty());
    at += n;
  }
  return out;
}

TEST(LineReader, LineEndsInAnyDeliveryGiveTheSameLines) {
  struct Case {
    const char *name;
    std::string stream;
    std::vector<Line> lines;
  } cases[] = {
      {"LF", "p\nP 1 2\n", {{"p", false}, {"P 1 2", false}}},
      {"CR", "p\rS\r", {{"p", false}, {"S", false}}},
      {"CR LF gives an empty line after each", "p\r\nS\r\n", {{"p", false}, {"", false}, {"S", false}, {"", false}}},
      {"blank lines", "\n\n_\n", {{"", false}, {"", false}, {"_", false}}},
      {"unfinished tail is held", "p\nP 27", {{"p", false}}},
      {"NUL and high bytes pass", std::string("a\0\xff\n", 4), {{std::string("a\0\xff", 3), false}}},
  };
  for (const Case &c : cases)
    for (std::size_t chunk : {std::size_t(0), std::size_t(1), std::size_t(2), std::size_t(3), std::size_t(7)}) {
      netctl::LineReader reader;
      EXPECT_EQ(Split(reader, c.stream, chunk), c.lines) << c.name << ", chunk " << chunk;
    }
}

TEST(LineReader, TooLongALineIsCutAndTheNextOneIsWhole) {
  for (std::size_t chunk : {std::size_t(0), std::size_t(1), std::size_t(5), std::size_t(16)}) {
    netctl::LineReader reader(8);
    const auto lines = Split(reader, "12345678\n123456789abc\np\n", chunk);
    ASSERT_EQ(lines.size(), 3u) << chunk;
    EXPECT_EQ(lines[0], (Line{"12345678", false})) << "exactly the bound is a whole line";
    EXPECT_EQ(lines[1], (Line{"12345678", true}));
    EXPECT_EQ(lines[2], (Line{"p", false}));
  }
}

TEST(LineReader, AMegabyteWithoutALineEndHoldsOnlyTheBound) {
  netctl::LineReader reader;
  const std::string block(64 * 1024, 'x');
  for (int i = 0; i < 16; ++i) {
    std::string_view piece(block);
    EXPECT_FALSE(reader.Take(piece));
    EXPECT_LE(reader.Held(), netctl::LineReader::kDefaultLimit);
  }
  std::string_view end("\np\n");
  ASSERT_TRUE(reader.Take(end));
  EXPECT_TRUE(reader.overlong());
  ASSERT_TRUE(reader.Take(end));
  EXPECT_EQ(reader.line(), "p");
  EXPECT_FALSE(reader.overlong());
  EXPECT_EQ(reader.Held(), 0u);
}

} // namespace
