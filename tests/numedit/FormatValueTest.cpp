#include "NumEditTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

namespace {

struct FormatCase {
  TNumberFormat Format;
  int Decimals;
  long double Value;
  const char *Expected;
};

using F = TNumberFormat;

const FormatCase kFormatCases[] = {
    // Standard, as many decimals as needed
    {F::Standard, -1, 123, "123"},
    {F::Standard, -1, 12.5L, "12.5"},
    {F::Standard, -1, 0, "0"},
    {F::Standard, -1, -7, "-7"},
    {F::Standard, -1, 0.5L, "0.5"},
    {F::Standard, -1, 1.0L / 3, "0.33333333333333"},
    {F::Standard, -1, 5e-15L, "0.00000000000001"}, // half rounds up
    {F::Standard, -1, 4e-15L, "0"},
    {F::Standard, -1, 1e-20L, "0"},
    {F::Standard, -1, -0.000001L, "-0.000001"},
    {F::Standard, -1, 123.456789012345678L, "123.45678901234568"}, // 14 decimals whatever n
    {F::Standard, -1, 1e20L, "1E20"},                              // no fixed form beyond 18 digits
    // fixed decimals, halves away from zero
    {F::Standard, 2, 12.5L, "12.50"},
    {F::Standard, 2, 0.125L, "0.13"},
    {F::Standard, 2, -0.125L, "-0.13"},
    {F::Standard, 2, -0.001L, "0.00"},
    {F::Standard, 0, 2.5L, "3"},
    {F::Standard, 0, -2.5L, "-3"},
    {F::Standard, 0, 359.6L, "360"},
    {F::Standard, 0, -0.4L, "0"},
    {F::Standard, 14, 0.1L, "0.10000000000000"},
    // at most 15 digits carry the value, the other places show 0
    {F::Standard, 4, 1234567890123.456L, "1234567890123.4600"},
    {F::Standard, 2, 99999999999999.996L, "100000000000000.00"},
    {F::Standard, 2, 123456789012345.0L, "123456789012345.00"},
    {F::Standard, 3, 1234567890123456.0L, "1234567890123456.000"},
    // Thousands
    {F::Thousands, -1, 1234567.89L, "1,234,567.89"},
    {F::Thousands, -1, 100, "100"},
    {F::Thousands, -1, 1000, "1,000"},
    {F::Thousands, -1, -1234, "-1,234"},
    {F::Thousands, -1, 123.456789012345678L, "123.456789012346"}, // 15 digits in all
    {F::Thousands, 2, -1234.5L, "-1,234.50"},
    {F::Thousands, 3, 999.9995L, "1,000.000"},
    {F::Thousands, 0, 1234567.5L, "1,234,568"},
    // Scientific
    {F::Scientific, -1, 1500, "1.5E3"},
    {F::Scientific, -1, 0.00025L, "2.5E-4"},
    {F::Scientific, -1, 0, "0E0"},
    {F::Scientific, 2, 0, "0.00E0"},
    {F::Scientific, 2, -1500, "-1.50E3"},
    {F::Scientific, 1, 9.99L, "1.0E1"},
    {F::Scientific, 0, 1500, "2E3"},
    {F::Scientific, -1, 1e300L, "1E300"},
    {F::Scientific, -1, 1.23456789012345678L, "1.23456789012346E0"},
    {F::Scientific, -1, 4e-4000L, "4E-4000"},
    // Engineering
    {F::Engineering, -1, 1500, "1.5E3"},
    {F::Engineering, -1, 25000, "25E3"},
    {F::Engineering, -1, 0.5L, "0.5E0"},
    {F::Engineering, -1, 0.00025L, "0.25E-3"},
    {F::Engineering, -1, 0, "0E0"},
    {F::Engineering, -1, -1500, "-1.5E3"},
    {F::Engineering, -1, 1e6L, "1E6"},
    {F::Engineering, -1, 999, "999E0"},
    {F::Engineering, -1, 1e-7L, "0.1E-6"},
    {F::Engineering, 2, 123456, "123.46E3"},
    {F::Engineering, 0, 2500, "3E3"},
    {F::Engineering, -1, -123456.789L, "-123.456789E3"},
    {F::Engineering, -1, 123456.789L, "123.456789E3"},
};

void PrintTo(const FormatCase &c, std::ostream *os) {
  *os << "format " << int(c.Format) << " decimals " << c.Decimals << " -> " << c.Expected;
}

class FormatValueTest : public ::testing::TestWithParam<FormatCase> {
protected:
  void SetUp() override { UseEnglishLocale(); }
};

TEST_P(FormatValueTest, Formats) {
  const FormatCase &c = GetParam();
  TPBNumEdit e;
  e.SetNumberFormat(c.Format);
  e.SetDecimals(c.Decimals);
  EXPECT_EQ(e.FormatValue(c.Value).toStdString(), c.Expected)
      << "format " << int(c.Format) << " decimals " << c.Decimals;
  // Writing the value shows the same text, and it reads back close to the value.
  e.SetValue(c.Value);
  EXPECT_EQ(e.text().toStdString(), c.Expected);
  EXPECT_NO_THROW(e.Value());
}

INSTANTIATE_TEST_SUITE_P(Table, FormatValueTest, ::testing::ValuesIn(kFormatCases));

// Whatever the format, the text must read back as the value to the
// digits it shows.
TEST(FormatValueRoundTrip, TextReadsBackAsTheValue) {
  UseEnglishLocale();
  std::mt19937_64 rng(20261208);
  std::uniform_real_distribution<double> exponent(-10, 17);
  std::uniform_real_distribution<double> mantissa(1, 10);
  for (int f = 0; f < 4; ++f) {
    TPBNumEdit e;
    e.SetNumberFormat(static_cast<TNumberFormat>(f));
    for (int i = 0; i < 3000; ++i) {
      long double x = mantissa(rng) * std::pow(10.0L, std::floor(exponent(rng)));
      if (rng() % 2)
        x = -x;
      e.SetValue(x);
      const long double back = e.Value();
      // Engineering mantissas below 1 (0.001 .. 1) keep 14 decimals only.
      const long double tolerance = f <= 1   ? std::max(std::fabs(x) * 1e-14L, 1e-14L)
                                    : f == 2 ? std::fabs(x) * 1e-14L
                                             : std::fabs(x) * 1e-11L;
      ASSERT_LE(std::fabs(back - x), tolerance)
          << "format " << f << " text " << e.text().toStdString() << " value " << double(x);
    }
  }
}

TEST(FormatValueLocale, UsesTheLocaleSeparators) {
  App();
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  TPBNumEdit e;
  e.SetNumberFormat(TNumberFormat::Thousands);
  e.SetDecimals(2);
  EXPECT_EQ(e.FormatValue(1234567.891L).toStdString(), "1.234.567,89");
  e.SetValue(-1234.5L);
  EXPECT_EQ(e.text().toStdString(), "-1.234,50");
  EXPECT_DOUBLE_EQ(double(e.Value()), -1234.5);
  e.SetNumberFormat(TNumberFormat::Scientific);
  EXPECT_EQ(e.text().toStdString(), "-1,23E3");
  UseEnglishLocale();
}

TEST(FormatValueSpecial, NotANumberAndInfinityDoNotRead) {
  UseEnglishLocale();
  TPBNumEdit e;
  e.SetValue(std::numeric_limits<long double>::quiet_NaN());
  EXPECT_EQ(e.text().toStdString(), "NAN");
  EXPECT_THROW(e.Value(), EConvertError);
  e.SetValue(-std::numeric_limits<long double>::infinity());
  EXPECT_EQ(e.text().toStdString(), "-INF");
}

} // namespace
