#include "runtime/SysUtils.h"

#include <clocale>
#include <gtest/gtest.h>

TEST(Runtime, ExceptionsCarryTheirTexts) {
  EOutOfMemory oom;
  EXPECT_EQ(oom.Message(), "Zu wenig Arbeitsspeicher");
  EInOutError io("Device read error", 161);
  EXPECT_EQ(io.ErrorCode, 161);
  EXPECT_STREQ(io.what(), "Device read error");
  Exception &base = io;
  EXPECT_EQ(base.HelpContext(), 0);
}

TEST(Runtime, WholeNumberConversion) {
  struct Case {
    const char *text;
    bool ok;
    int32_t value;
  };
  const Case cases[] = {
      {"0", true, 0},
      {"123", true, 123},
      {"-45", true, -45},
      {"+7", true, 7},
      {"  12", true, 12},
      {"$1F", true, 31},
      {"0x10", true, 16},
      {"2147483647", true, 2147483647},
      {"-2147483648", true, INT32_MIN},
      {"2147483648", false, 0},
      {"", false, 0},
      {" ", false, 0},
      {"12 ", false, 0},
      {"1.5", false, 0},
      {"abc", false, 0},
      {"-", false, 0},
      {"1e3", false, 0},
      {"0x", false, 0},
  };
  for (const auto &c : cases) {
    int32_t v = -1;
    EXPECT_EQ(TryStrToInt(c.text, v), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(v, c.value) << c.text;
    }
  }
  try {
    StrToInt("12a");
    FAIL() << "no exception";
  } catch (const EConvertError &e) {
    EXPECT_EQ(e.Message(), "'12a' ist kein gültiger Integerwert");
  }
}

TEST(Runtime, FloatConversion) {
  struct Case {
    const char *text;
    char sep;
    bool ok;
    double value;
  };
  const Case cases[] = {
      {"1.5", '.', true, 1.5},      {"1,5", ',', true, 1.5},  {"1,5", '.', false, 0},   {"-0.25", '.', true, -0.25},
      {" 3 ", '.', true, 3},        {".5", '.', true, 0.5},   {"5.", '.', true, 5},     {"1E3", '.', true, 1000},
      {"1.5e-2", '.', true, 0.015}, {"1E", '.', false, 0},    {"E3", '.', false, 0},    {"", '.', false, 0},
      {"-", '.', false, 0},         {"1.2.3", '.', false, 0}, {"1e999", '.', false, 0}, {"1e-999", '.', true, 0},
  };
  for (const auto &c : cases) {
    double v = -99;
    EXPECT_EQ(TryStrToFloat(c.text, v, c.sep), c.ok) << c.text;
    if (c.ok) {
      EXPECT_DOUBLE_EQ(v, c.value) << c.text;
    }
  }
  try {
    StrToFloat("12E");
    FAIL() << "no exception";
  } catch (const EConvertError &e) {
    EXPECT_EQ(e.Message(), "'12E' ist kein gültiger Gleitkommawert");
  }
}

TEST(Runtime, FloatConversionIgnoresProcessLocale) {
  const char *old = std::setlocale(LC_NUMERIC, nullptr);
  std::string saved = old ? old : "C";
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr)
    GTEST_SKIP() << "no German locale";
  EXPECT_DOUBLE_EQ(StrToFloat("2.5"), 2.5);
  std::setlocale(LC_NUMERIC, saved.c_str());
}

TEST(Runtime, RoundHalvesToEven) {
  const std::pair<double, int64_t> cases[] = {
      {0.5, 0},    {1.5, 2},    {2.5, 2},      {3.5, 4},     {-0.5, 0},    {-1.5, -2}, {-2.5, -2},
      {2.4999, 2}, {2.5001, 3}, {-2.5001, -3}, {359.5, 360}, {358.5, 358}, {0.0, 0},
  };
  for (auto [in, out] : cases)
    EXPECT_EQ(Round(in), out) << in;
  EXPECT_EQ(Trunc(-3.9), -3);
  EXPECT_EQ(Trunc(3.9), 3);
}
