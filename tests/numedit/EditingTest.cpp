// Typing, deleting and pasting on the real widget, driven by key events.
#include "NumEditTestSupport.h"

#include <QInputMethodEvent>
#include <gtest/gtest.h>

namespace {

using F = TNumberFormat;

struct EditCase {
  const char *Name;
  F Format;
  int Decimals;
  const char *Start; // the text before the keys
  int Caret;         // caret, or selection start when SelLength > 0
  int SelLength;
  const char *Keys;
  const char *Expected;
  int ExpectedCaret; // -1: not checked
  int Beeps;
};

const EditCase kEditCases[] = {
    {"digit replaces the lone zero", F::Standard, -1, "0", 1, 0, "7", "7", 1, 0},
    {"digits append", F::Standard, -1, "0", 1, 0, "123", "123", 3, 0},
    {"zero after minus is replaced", F::Standard, -1, "-0", 2, 0, "7", "-7", 2, 0},
    {"no separator with zero decimals", F::Standard, 0, "12", 2, 0, ".", "12", 2, 1},
    {"separator goes before the E", F::Standard, -1, "12E3", 1, 0, ".", "12.E3", 3, 0},
    {"separator goes to the end", F::Standard, -1, "12", 0, 0, ".5", "12.5", 4, 0},
    {"second separator jumps behind the first", F::Standard, -1, "1.5", 0, 0, ".", "1.5", 2, 0},
    {"second E jumps behind the first", F::Standard, -1, "1E5", 0, 0, "e", "1E5", 2, 0},
    {"E is appended at the end", F::Standard, -1, "12", 0, 0, "e", "12E", 3, 0},
    {"minus toggles the sign", F::Standard, -1, "15", 1, 0, "-", "-15", 2, 0},
    {"minus toggles it back", F::Standard, -1, "-15", 2, 0, "-", "15", 1, 0},
    {"minus before the leading minus", F::Standard, -1, "-15", 0, 0, "-", "15", 0, 0},
    {"exponent minus removed, caret stays behind the E", F::Standard, -1, "1E-5", 2, 0, "-", "1E5", 2, 0},
    {"minus in the exponent", F::Standard, -1, "1E5", 3, 0, "-", "1E-5", 4, 0},
    {"exponent minus toggles back", F::Standard, -1, "1E-5", 4, 0, "-", "1E5", 3, 0},
    {"digit replaces the exponent's zero", F::Standard, -1, "1E0", 2, 0, "5", "1E5", 3, 0},
    {"exponent zero replaced within the limit", F::Standard, -1, "1E0123", 2, 0, "4", "1E4123", 3, 0},
    {"exponent zero not replaced beyond it", F::Standard, -1, "1E01263", 2, 0, "4", "1E01263", 2, 1},
    {"exponent above 4932 is refused", F::Standard, -1, "1E493", 5, 0, "3", "1E493", 5, 1},
    {"exponent 4932 is taken", F::Standard, -1, "1E493", 5, 0, "2", "1E4932", 6, 0},
    {"negative exponent limit", F::Standard, -1, "1E-493", 6, 0, "52", "1E-4932", 7, 1},
    {"digit overwrites a decimal place", F::Standard, 2, "1.50", 3, 0, "7", "1.57", 4, 0},
    {"no digit behind the last place", F::Standard, 2, "1.50", 4, 0, "3", "1.50", 4, 1},
    {"digit in the integer part inserts", F::Standard, 2, "1.50", 1, 0, "2", "12.50", 2, 0},
    {"backspace keeps the places", F::Standard, 2, "1.57", 4, 0, "[bs]", "1.50", 3, 1},
    {"delete steps over the separator", F::Standard, -1, "1.57", 1, 0, "[del]", "1.7", 2, 0},
    {"delete in front of the separator, fixed places", F::Standard, 2, "1.57", 1, 0, "[del]", "1.70", 2, 0},
    {"backspace on the only digit", F::Standard, -1, "5", 1, 0, "[bs]", "0", 1, 1},
    {"backspace behind the minus", F::Standard, -1, "-5", 1, 0, "[bs]", "5", 0, 1},
    {"backspace at the end of -5", F::Standard, -1, "-5", 2, 0, "[bs]", "-", 1, 1},
    {"backspace on a lone minus", F::Standard, -1, "-", 1, 0, "[bs]", "0", 0, 1},
    {"backspace steps over the E", F::Standard, -1, "12E3", 3, 0, "[bs]", "1E3", 1, 1},
    {"delete steps over separator and E", F::Standard, -1, "12.E5", 2, 0, "[del]", "12.E", 4, 0},
    {"backspace steps over E and separator", F::Standard, -1, "12.E5", 4, 0, "[bs]", "1.E5", 1, 1},
    {"backspace at the start does nothing", F::Standard, -1, "12", 0, 0, "[bs]", "12", 0, 1},
    {"delete at the end does nothing", F::Standard, -1, "12", 2, 0, "[del]", "12", 2, 0},
    {"exponent digit gone leaves 0", F::Scientific, -1, "1.5E3", 5, 0, "[bs]", "1.5E0", 4, 1},
    {"scientific places kept before the E", F::Scientific, 2, "1.25E3", 3, 0, "[bs]", "1.50E3", 2, 1},
    {"space and letters beep", F::Standard, -1, "12", 2, 0, "[space]a/", "12", 2, 3},
    {"whole selection and a digit", F::Standard, -1, "123", 0, 3, "4", "4", 1, 0},
    {"whole selection of the formatted 0", F::Standard, 2, "0.00", 0, 4, "3.147", "3.14", 4, 1},
    {"whole selection, exponent format", F::Scientific, -1, "0E0", 0, 3, "15", "15E0", 2, 0},
    {"whole selection deleted", F::Standard, 2, "1.25", 0, 4, "[del]", "0.00", -1, 0},
    {"part selection deleted", F::Standard, -1, "12345", 1, 2, "[bs]", "145", 1, 1},
    {"selection replaced by a digit", F::Standard, -1, "12345", 1, 2, "9", "1945", 2, 0},
    {"selection across the separator", F::Standard, -1, "12.345", 1, 3, "7", "17.45", -1, 0},
    {"E collapses a selection", F::Standard, -1, "12", 0, 1, "E", "12E", 3, 0},
    {"thousands grouped on key-up", F::Thousands, -1, "0", 1, 0, "1234", "1,234", 5, 0},
    {"thousands regroup on the fifth digit", F::Thousands, -1, "1,234", 5, 0, "5", "12,345", 6, 0},
    {"thousands with decimals", F::Thousands, -1, "0", 1, 0, "1234.5", "1,234.5", 7, 0},
    {"thousands backspace ungroups", F::Thousands, -1, "1,234", 5, 0, "[bs]", "123", 3, 1},
    {"thousands separator typed is refused", F::Thousands, -1, "12", 2, 0, ",", "12", 2, 1},
    {"thousands enter regroups", F::Thousands, -1, "1,23456,7", 9, 0, "[enter]", "1,234,567", 9, 1},
    {"thousands same shape is left alone", F::Thousands, -1, "1,23456,7", 9, 0, "[left]", "1,23456,7", 8, 0},
    {"paste passes the filter", F::Standard, -1, "0", 1, 0, "[paste:1,234]", "1234", 4, 1},
    {"paste replaces the selection", F::Standard, -1, "555", 0, 3, "[paste:-2.5]", "-2.5", 4, 0},
    {"arrows move the caret", F::Standard, -1, "123", 3, 0, "[left][left]9", "1923", 2, 0},
    {"shift selects", F::Standard, -1, "123", 3, 0, "[sleft][sleft]9", "19", 2, 0},
};

void PrintTo(const EditCase &c, std::ostream *os) { *os << c.Name; }

class EditingTest : public ::testing::TestWithParam<EditCase> {
protected:
  void SetUp() override { UseEnglishLocale(); }
};

TEST_P(EditingTest, Keys) {
  const EditCase &c = GetParam();
  TBeepCounter beeps;
  TPBNumEdit e;
  e.SetNumberFormat(c.Format);
  e.SetDecimals(c.Decimals);
  e.setText(QString::fromLatin1(c.Start));
  if (c.SelLength > 0)
    e.setSelection(c.Caret, c.SelLength);
  else
    e.setCursorPosition(c.Caret);
  PlayKeys(&e, c.Keys);
  EXPECT_EQ(e.text().toStdString(), c.Expected) << c.Name;
  if (c.ExpectedCaret >= 0) {
    EXPECT_EQ(e.cursorPosition(), c.ExpectedCaret) << c.Name;
  }
  EXPECT_EQ(beeps.Count, c.Beeps) << c.Name;
  EXPECT_TRUE(TakeErrors().empty()) << c.Name;
}

INSTANTIATE_TEST_SUITE_P(Table, EditingTest, ::testing::ValuesIn(kEditCases),
                         [](const ::testing::TestParamInfo<EditCase> &i) {
                           std::string n;
                           for (const char *p = i.param.Name; *p; ++p)
                             n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                           return n;
                         });

TEST(EditingEvents, KeyHandlersSeeAndChangeKeys) {
  UseEnglishLocale();
  TBeepCounter beeps;
  TPBNumEdit e;
  std::vector<int> downs, ups;
  e.OnKeyDown = [&](TPBNumEdit *, int &k, Qt::KeyboardModifiers) { downs.push_back(k); };
  e.OnKeyUp = [&](TPBNumEdit *, int &k, Qt::KeyboardModifiers) { ups.push_back(k); };
  // The handler may translate a character before the filter sees it.
  e.OnKeyPress = [](TPBNumEdit *, QChar &k) {
    if (k == 'x')
      k = '5';
    if (k == 'q')
      k = QChar();
  };
  PlayKeys(&e, "xq");
  EXPECT_EQ(e.text().toStdString(), "5");
  EXPECT_EQ(beeps.Count, 0);
  EXPECT_EQ(downs, (std::vector<int>{Qt::Key_X, Qt::Key_Q}));
  EXPECT_EQ(ups, (std::vector<int>{Qt::Key_X, Qt::Key_Q}));
  // A key-down handler that takes Backspace keeps the text, the character still beeps.
  e.OnKeyDown = [](TPBNumEdit *, int &k, Qt::KeyboardModifiers) {
    if (k == Qt::Key_Backspace)
      k = 0;
  };
  PlayKeys(&e, "[bs]");
  EXPECT_EQ(e.text().toStdString(), "5");
  EXPECT_EQ(beeps.Count, 1);
}

TEST(EditingEvents, GermanSeparatorsWhileTyping) {
  App();
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  TBeepCounter beeps;
  TPBNumEdit e;
  e.SetNumberFormat(TNumberFormat::Thousands);
  e.setCursorPosition(1);
  PlayKeys(&e, "1234.,5");
  EXPECT_EQ(e.text().toStdString(), "1.234,5");
  EXPECT_EQ(beeps.Count, 1); // the '.' is the thousands separator here
  EXPECT_EQ(double(e.Value()), 1234.5);
  PlayKeys(&e, "[home][right][right][bs]"); // steps over the '.', deletes the 1
  EXPECT_EQ(e.text().toStdString(), "234,5");
  UseEnglishLocale();
}

TEST(EditingEvents, ComposedTextPassesTheFilter) {
  UseEnglishLocale();
  TBeepCounter beeps;
  TPBNumEdit e;
  e.setCursorPosition(1);
  QInputMethodEvent im;
  im.setCommitString("1a2");
  QCoreApplication::sendEvent(&e, &im);
  EXPECT_EQ(e.text().toStdString(), "12");
  EXPECT_EQ(beeps.Count, 1);
}

TEST(EditingEvents, ReadOnlyFieldIgnoresEditsButCopies) {
  UseEnglishLocale();
  TBeepCounter beeps;
  TPBNumEdit e;
  e.SetValue(42);
  e.setReadOnly(true);
  e.selectAll();
  PlayKeys(&e, "[del]7[paste:9]");
  QTest::keyClick(&e, Qt::Key_X, Qt::ControlModifier);
  EXPECT_EQ(e.text().toStdString(), "42");
  e.selectAll();
  QTest::keyClick(&e, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), "42");
  e.ClearSelection();
  EXPECT_EQ(e.text().toStdString(), "42");
  EXPECT_EQ(beeps.Count, 0);
}

TEST(EditingEvents, MaxLengthLimitsTypingOnly) {
  UseEnglishLocale();
  TPBNumEdit e;
  e.SetMaxLength(3);
  e.setText("123");
  e.setCursorPosition(3);
  PlayKeys(&e, "4");
  EXPECT_EQ(e.text().toStdString(), "123");
  PlayKeys(&e, "-"); // the sign is no typed insertion; the number stays whole
  EXPECT_EQ(e.text().toStdString(), "-123");
  e.SetValue(123456);
  EXPECT_EQ(e.text().toStdString(), "123456");
}

TEST(EditingEvents, ExponentThatDoesNotConvertIsReportedThroughNotify) {
  UseEnglishLocale();
  TBeepCounter beeps;
  TPBNumEdit e;
  e.setText("1E0000000000");
  e.setCursorPosition(3);
  PlayKeys(&e, "9");
  const auto errors = TakeErrors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "'09000000000' ist kein gültiger Integerwert");
  EXPECT_EQ(e.text().toStdString(), "1E0000000000");
}

TEST(EditingEvents, IncompleteExponentInThousandsIsNotRegrouped) {
  UseEnglishLocale();
  TPBNumEdit e;
  e.SetNumberFormat(TNumberFormat::Thousands);
  e.setText("1,234");
  e.setCursorPosition(5);
  PlayKeys(&e, "E");
  EXPECT_EQ(e.text().toStdString(), "1,234E");
  EXPECT_TRUE(TakeErrors().empty());
  PlayKeys(&e, "3");
  EXPECT_EQ(e.text().toStdString(), "1,234,000");
}

} // namespace
