// Texts from the data files on their way into the window (decoding, what a
// message quotes) and where a saved window position puts the window.
#include "app/ShownTexts.h"
#include "app/WindowPlacement.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Utf8Check, WellFormedOnlyAndWholeAtTheEnd) {
  struct Case {
    std::string bytes;
    bool valid;
  } cases[] = {
      {"", true},
      {"EN;02;Exit", true},
      {"\xC3\xA4", true},          // ä
      {"\xE2\x80\x93", true},      // –
      {"\xF0\x9F\x98\x80", true},  // U+1F600
      {"\xF4\x8F\xBF\xBF", true},  // U+10FFFF
      {"\xE4", false},             // ä in 8-bit text
      {"\x96 \x84\x93", false},    // 8-bit punctuation
      {"\xC0\xAF", false},         // overlong
      {"\xE0\x80\xAF", false},     // overlong
      {"\xED\xA0\x80", false},     // a surrogate
      {"\xF4\x90\x80\x80", false}, // above U+10FFFF
      {"\xF5\x80\x80\x80", false},
      {"\x80", false},     // continuation alone
      {"\xE2\x80", false}, // cut short at the end
      {"a\xC3", false},
      {std::string("\0\x7F", 2), true},
  };
  for (const Case &c : cases) {
    Utf8Check whole;
    whole.Feed(c.bytes);
    EXPECT_EQ(whole.Valid(), c.valid) << testing::PrintToString(c.bytes);
    // Fed a byte at a time, as the file's pieces may split a character.
    Utf8Check split;
    for (char b : c.bytes)
      split.Feed(std::string_view(&b, 1));
    EXPECT_EQ(split.Valid(), c.valid) << testing::PrintToString(c.bytes);
  }
}

TEST(Windows1252, PunctuationAndLettersOfThe8BitPage) {
  struct Case {
    std::string bytes;
    const char16_t *text;
  } cases[] = {
      {"\x96", u"\u2013"}, // –
      {"\x84"
       "Ende\x93",
       u"\u201E"
       "Ende\u201C"}, // „Ende“
      {"\x80 \x85 \x99", u"\u20AC \u2026 \u2122"},
      {"\x91\x92\x97\x9F", u"\u2018\u2019\u2014\u0178"},
      {"\x8A\x9A\x8E\x9E\x8C\x9C", u"\u0160\u0161\u017D\u017E\u0152\u0153"},
      {"\x81\x8D\x8F\x90\x9D", u"\u0081\u008D\u008F\u0090\u009D"}, // free on the page
      {"\xE4\xF6\xFC\xDF\xA0\xFF", u"\u00E4\u00F6\u00FC\u00DF\u00A0\u00FF"},
      {"Exit", u"Exit"},
  };
  for (const Case &c : cases)
    EXPECT_EQ(DecodeWindows1252(c.bytes), QString::fromUtf16(c.text)) << testing::PrintToString(c.bytes);
  // Every byte gives exactly one character.
  std::string all;
  for (int b = 0; b < 256; ++b)
    all += char(b);
  EXPECT_EQ(DecodeWindows1252(all).size(), 256);
}

TEST(Quotes, FirstHundredCharactersThenDots) {
  EXPECT_EQ(QuoteForMessage(QString(100, 'x')), QString(100, 'x'));
  EXPECT_EQ(QuoteForMessage(QString(101, 'x')), QString(100, 'x') + "...");
  EXPECT_EQ(QuoteForMessage(QString()), QString());
  EXPECT_EQ(QuoteForMessage(std::string_view("abc")), "abc");
  const std::string huge(10'000'000, '7');
  EXPECT_EQ(QuoteForMessage(std::string_view(huge)), QString(100, '7') + "...");
  // Characters, not bytes: 101 two-byte letters are cut after the 100th.
  std::string umlauts;
  for (int i = 0; i < 101; ++i)
    umlauts += "\xC3\xA4";
  EXPECT_EQ(QuoteForMessage(std::string_view(umlauts)), QString(100, QChar(0xE4)) + "...");
}

TEST(WindowPlacement, KeptWhereReachableElseOnTheNearestScreen) {
  const QSize size(201, 370);
  const QList<QRect> one{QRect(0, 0, 800, 600)};
  // Two screens side by side, the right one lower and smaller.
  const QList<QRect> two{QRect(0, 0, 1920, 1080), QRect(1920, 200, 1280, 720)};
  struct Case {
    const char *name;
    int32_t left, top;
    QList<QRect> screens;
    QPoint at;
  } cases[] = {
      {"on screen", 60, 70, one, {60, 70}},
      {"partly off to the right, still grabbable", 750, 100, one, {750, 100}},
      {"partly below, top strip on", 100, 580, one, {100, 580}},
      {"far off", 32767, 32767, one, {599, 230}},
      {"far off to the left and up", -32768, -32768, one, {0, 0}},
      {"largest numbers", 2147483647, 2147483647, one, {599, 230}},
      {"smallest numbers", -2147483647 - 1, 0, one, {0, 0}},
      {"top strip above the screen", 100, -5, one, {100, 0}},
      {"only 39 pixels across", 761, 100, one, {599, 100}},
      {"second screen", 2000, 300, two, {2000, 300}},
      {"below the second screen", 2500, 5000, two, {2500, 550}},
      {"in the gap above the second screen", 2500, 0, two, {2500, 200}},
      {"no screens", 32767, 32767, {}, {32767, 32767}},
  };
  for (const Case &c : cases)
    EXPECT_EQ(ReachablePosition(c.left, c.top, size, c.screens), c.at) << c.name;
  // A window larger than its screen goes to the screen's corner.
  EXPECT_EQ(ReachablePosition(5000, 5000, QSize(1000, 700), one), QPoint(0, 0));
}

} // namespace
