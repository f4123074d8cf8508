// Long random key sequences on the real widget must keep the text a number
// in the making: one separator, one 'E', minus signs only where a sign goes.
#include "NumEditTestSupport.h"

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <random>

namespace {

struct RandomSetup {
  TNumberFormat Format;
  int Decimals;
};

std::string Describe(const RandomSetup &s, unsigned seed) {
  return "format " + std::to_string(int(s.Format)) + " decimals " + std::to_string(s.Decimals) + " seed " +
         std::to_string(seed);
}

// The states the filter allows: a mantissa (digits, thousands separators in
// that format only, one decimal separator) with an optional sign, then
// optionally 'E', an optional minus and exponent digits.
void CheckInvariant(const TPBNumEdit &e, const RandomSetup &s, const std::string &where) {
  const QString t = e.text();
  static const QRegularExpression plain(R"(^-?[0-9]*(\.[0-9]*)?(E-?[0-9]*)?$)");
  static const QRegularExpression grouped(R"(^-?[0-9,]*(\.[0-9]*)?(E-?[0-9]*)?$)");
  const bool ok = (s.Format == TNumberFormat::Thousands ? grouped : plain).match(t).hasMatch();
  ASSERT_TRUE(ok) << "'" << t.toStdString() << "' " << where;
  if (s.Decimals == 0) {
    ASSERT_FALSE(t.contains('.')) << t.toStdString() << " " << where;
  }
  const qsizetype point = t.indexOf('.');
  const qsizetype ePos = t.indexOf('E');
  if (s.Decimals > 0 && point >= 0) {
    const qsizetype places = (ePos >= 0 ? ePos : t.size()) - point - 1;
    ASSERT_LE(places, s.Decimals) << t.toStdString() << " " << where;
  }
  // With a digit in the mantissa and, if there is an 'E', in the exponent,
  // the text must read as a number (exponents stay within 4932).
  const QString mant = ePos >= 0 ? t.left(ePos) : t;
  const QString exp = ePos >= 0 ? t.mid(ePos + 1) : QString("0");
  const bool mantDigit = mant.contains(QRegularExpression("[0-9]"));
  const bool expDigit = exp.contains(QRegularExpression("[0-9]"));
  if (ePos >= 0 && expDigit) {
    ASSERT_LE(std::abs(exp.toInt()), 4932) << t.toStdString() << " " << where;
  }
  if (mantDigit && expDigit && std::abs(exp.toInt()) < 4900) {
    ASSERT_NO_THROW(e.Value()) << t.toStdString() << " " << where;
  }
}

TEST(RandomKeys, TextStaysANumber) {
  UseEnglishLocale();
  TBeepCounter beeps;
  const RandomSetup setups[] = {
      {TNumberFormat::Standard, -1},  {TNumberFormat::Standard, 0},     {TNumberFormat::Standard, 2},
      {TNumberFormat::Thousands, -1}, {TNumberFormat::Thousands, 3},    {TNumberFormat::Scientific, -1},
      {TNumberFormat::Scientific, 2}, {TNumberFormat::Engineering, -1}, {TNumberFormat::Engineering, 1},
  };
  const char alphabet[] = "0123456789-Ee.,x ";
  for (const RandomSetup &s : setups) {
    for (unsigned seed = 1; seed <= 12; ++seed) {
      std::mt19937 rng(seed * 7919u + unsigned(s.Decimals + 1) * 31u + unsigned(s.Format));
      TPBNumEdit e;
      e.SetNumberFormat(s.Format);
      e.SetDecimals(s.Decimals);
      std::string log;
      for (int step = 0; step < 400; ++step) {
        const std::string before = e.text().toStdString();
        const int op = std::uniform_int_distribution<int>(0, 19)(rng);
        if (op < 9) {
          const char c = "0123456789"[std::uniform_int_distribution<int>(0, 9)(rng)];
          QTest::keyClick(&e, c);
          log += c;
        } else if (op == 9) {
          QTest::keyClick(&e, '-');
          log += '-';
        } else if (op == 10) {
          QTest::keyClick(&e, rng() % 2 ? 'E' : 'e');
          log += 'E';
        } else if (op == 11) {
          QTest::keyClick(&e, rng() % 2 ? '.' : ',');
          log += '.';
        } else if (op == 12) {
          QTest::keyClick(&e, Qt::Key_Backspace);
          log += "[bs]";
        } else if (op == 13) {
          QTest::keyClick(&e, Qt::Key_Delete);
          log += "[del]";
        } else if (op == 14) {
          const Qt::Key keys[] = {Qt::Key_Left, Qt::Key_Right, Qt::Key_Home, Qt::Key_End};
          QTest::keyClick(&e, keys[rng() % 4]);
          log += "[move]";
        } else if (op == 15 || op == 16) {
          QTest::keyClick(&e, rng() % 2 ? Qt::Key_Left : Qt::Key_Right, Qt::ShiftModifier);
          log += "[sel]";
        } else if (op == 17) {
          std::string clip;
          const int n = std::uniform_int_distribution<int>(0, 8)(rng);
          for (int i = 0; i < n; ++i)
            clip += alphabet[rng() % (sizeof alphabet - 1)];
          QGuiApplication::clipboard()->setText(QString::fromStdString(clip));
          QTest::keyClick(&e, Qt::Key_V, Qt::ControlModifier);
          log += "[paste:" + clip + "]";
        } else if (op == 18) {
          QTest::keyClick(&e, Qt::Key_X, Qt::ControlModifier);
          log += "[cut]";
        } else {
          const int start = std::uniform_int_distribution<int>(0, int(e.text().size()))(rng);
          e.setSelection(start, std::uniform_int_distribution<int>(0, int(e.text().size()) - start)(rng));
          log += "[select]";
        }
        // The only error typing may raise is an exponent that does not convert.
        for (const std::string &err : TakeErrors())
          ASSERT_NE(err.find("Integerwert"), std::string::npos) << err;
        CheckInvariant(e, s, Describe(s, seed) + " after " + log + " (was '" + before + "')");
        if (HasFatalFailure())
          return;
      }
    }
  }
}

} // namespace
