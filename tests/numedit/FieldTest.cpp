// Properties, reads, the range check on leaving the field, clipboard,
// separator changes, colours and entry by mouse.
#include "NumEditTestSupport.h"

#include <QDialog>
#include <QPushButton>
#include <QVBoxLayout>
#include <gtest/gtest.h>

#include <cmath>

namespace {

class FieldTest : public ::testing::Test {
protected:
  void SetUp() override {
    UseEnglishLocale();
    TakeErrors();
  }
};

// A window with the field and a plain line edit to move the focus to.
struct TForm {
  QWidget Window;
  TPBNumEdit *Field;
  QLineEdit *Other;
  TForm() {
    auto *layout = new QVBoxLayout(&Window);
    Field = new TPBNumEdit(&Window);
    Other = new QLineEdit(&Window);
    layout->addWidget(Field);
    layout->addWidget(Other);
    Window.show();
    Window.activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&Window));
    Field->setFocus(Qt::OtherFocusReason);
    EXPECT_TRUE(QTest::qWaitFor([&] { return Field->hasFocus(); }, 5000));
  }
  void Leave() { QTest::keyClick(Field, Qt::Key_Tab); }
};

TEST_F(FieldTest, InitialState) {
  TPBNumEdit e;
  EXPECT_EQ(e.text().toStdString(), "0");
  EXPECT_EQ(e.Alignment(), TAlignment::taRightJustify);
  EXPECT_TRUE(e.alignment() & Qt::AlignRight);
  EXPECT_EQ(e.Decimals(), -1);
  EXPECT_EQ(e.NumberFormat(), TNumberFormat::Standard);
  EXPECT_EQ(e.width(), 100);
  EXPECT_TRUE(e.AutoSelect());
  EXPECT_EQ(e.Version().toStdString(), "8.50.00.00");
  e.SetVersion("1");
  EXPECT_EQ(e.Version().toStdString(), "8.50.00.00");
  e.SetAlignment(TAlignment::taCenter);
  EXPECT_TRUE(e.alignment() & Qt::AlignHCenter);
}

TEST_F(FieldTest, ReadsTruncateTowardZero) {
  struct {
    const char *Text;
    long double Value;
    int32_t Integer;
  } cases[] = {
      {"", 0, 0},
      {"-", 0, 0},
      {"12.5", 12.5L, 12},
      {"-12.5", -12.5L, -12},
      {"359.99", 359.99L, 359},
      {"-0.9", -0.9L, 0},
      {"1.5E2", 150, 150},
      {"25E-1", 2.5L, 2},
      {"1E20", 1e20L, 2147483647},
      {"-1E20", -1e20L, -2147483647 - 1},
      {"12.", 12, 12},
  };
  TPBNumEdit e;
  for (const auto &c : cases) {
    e.setText(QString::fromLatin1(c.Text));
    EXPECT_EQ(double(e.Value()), double(c.Value)) << c.Text;
    EXPECT_EQ(e.AsInteger(), c.Integer) << c.Text;
  }
}

TEST_F(FieldTest, TextsThatDoNotParseRaiseTheGermanError) {
  TPBNumEdit e;
  e.SetNumberFormat(TNumberFormat::Thousands);
  for (const char *t : {"12E", "1,2E-", "-E5", ".", "1E99999"}) {
    e.setText(QString::fromLatin1(t));
    QString plain = e.PlainText(e.text());
    try {
      (void)e.AsInteger();
      ADD_FAILURE() << t << " read as a number";
    } catch (const EConvertError &x) {
      EXPECT_EQ(x.Message(), "'" + plain.toStdString() + "' ist kein gültiger Gleitkommawert");
    }
    EXPECT_EQ(e.text().toStdString(), t); // the text stays
  }
}

TEST_F(FieldTest, PropertyWriteRules) {
  TPBNumEdit e;
  e.SetMinValue(10); // above the maximum 0: ignored
  EXPECT_EQ(double(e.MinValue()), 0.0);
  e.SetMaxValue(359);
  e.SetMinValue(10);
  EXPECT_EQ(double(e.MinValue()), 10.0);
  e.SetMaxValue(5); // below the minimum: ignored
  EXPECT_EQ(double(e.MaxValue()), 359.0);
  e.SetValue(500); // no range check when written
  EXPECT_EQ(e.text().toStdString(), "500");

  struct {
    int MaxLength, Set, Expected;
  } decimals[] = {{0, 20, 14}, {0, -5, -1}, {0, 3, 3}, {4, 3, 2}, {0, 0, 0}};
  for (const auto &d : decimals) {
    TPBNumEdit f;
    f.SetMaxLength(d.MaxLength);
    f.SetDecimals(d.Set);
    EXPECT_EQ(f.Decimals(), d.Expected) << d.Set;
  }
  TPBNumEdit f;
  f.SetValue(12.345L);
  f.SetDecimals(2);
  EXPECT_EQ(f.text().toStdString(), "12.35");
  f.SetNumberFormat(TNumberFormat::Scientific);
  EXPECT_EQ(f.text().toStdString(), "1.24E1"); // from the shown value 12.35
  f.setText("1234");
  f.SetNumberFormat(TNumberFormat::Scientific); // unchanged format still re-formats
  EXPECT_EQ(f.text().toStdString(), "1.23E3");
}

TEST_F(FieldTest, RangeCheckOnLeaving) {
  struct {
    const char *Text;
    long double Min, Max;
    const char *After;
    bool Exit;
    int Beeps;
  } cases[] = {
      {"400", 0, 359, "359", false, 1}, {"-5", 0, 359, "0", false, 1}, {"359", 0, 359, "359", true, 0},
      {"0", 0, 359, "0", true, 0},      {"-5", 0, 0, "-5", true, 0}, // no range
      {"12.50", 0, 0, "12.5", true, 0},                              // re-formatted on the way out
  };
  for (const auto &c : cases) {
    TBeepCounter beeps;
    TForm form;
    form.Field->SetMaxValue(c.Max);
    form.Field->SetMinValue(c.Min);
    int exits = 0, emitted = 0;
    form.Field->OnExit = [&](TPBNumEdit *) { ++exits; };
    QObject::connect(form.Field, &TPBNumEdit::exited, [&] { ++emitted; });
    form.Field->setText(QString::fromLatin1(c.Text));
    form.Leave();
    EXPECT_EQ(form.Field->text().toStdString(), c.After) << c.Text;
    EXPECT_EQ(exits, c.Exit ? 1 : 0) << c.Text;
    EXPECT_EQ(emitted, exits) << c.Text;
    EXPECT_EQ(beeps.Count, c.Beeps) << c.Text;
    EXPECT_EQ(QApplication::focusWidget(), c.Exit ? static_cast<QWidget *>(form.Other) : form.Field) << c.Text;
    EXPECT_TRUE(TakeErrors().empty());
  }
}

// A clamped field takes the focus back with its text selected, so what is
// typed next replaces the clamped value; the next exit checks again.
TEST_F(FieldTest, RefocusedFieldSelectsTheClampedValue) {
  struct {
    const char *Text;
    long double Min, Max;
    const char *Clamped;
    const char *Typed;
    const char *After;
  } cases[] = {
      {"400", 0, 359, "359", "12", "12"},
      {"99999", 0, 180, "180", "45", "45"},
      {"5", 10, 20, "10", "15", "15"},
      {"-3", 0, 359, "0", "7", "7"},
  };
  for (const auto &c : cases) {
    TBeepCounter beeps;
    TForm form;
    form.Field->SetMaxValue(c.Max);
    form.Field->SetMinValue(c.Min);
    int exits = 0;
    form.Field->OnExit = [&](TPBNumEdit *) { ++exits; };
    form.Field->setText(QString::fromLatin1(c.Text));
    form.Leave();
    ASSERT_TRUE(form.Field->hasFocus()) << c.Text;
    EXPECT_EQ(form.Field->selectedText().toStdString(), c.Clamped) << c.Text;
    PlayKeys(form.Field, c.Typed);
    EXPECT_EQ(form.Field->text().toStdString(), c.After) << c.Text;
    form.Leave();
    EXPECT_EQ(exits, 1) << c.Text;
    EXPECT_TRUE(form.Other->hasFocus()) << c.Text;
    EXPECT_EQ(beeps.Count, 1) << c.Text;
  }
}

TEST_F(FieldTest, RefocusWithoutAutoSelectKeepsTheTextUnselected) {
  TBeepCounter beeps;
  TForm form;
  form.Field->SetAutoSelect(false);
  form.Field->SetMaxValue(359);
  form.Field->setText("400");
  form.Leave();
  ASSERT_TRUE(form.Field->hasFocus());
  EXPECT_EQ(form.Field->text().toStdString(), "359");
  EXPECT_FALSE(form.Field->hasSelectedText());
}

TEST_F(FieldTest, InvalidEntryHandlerReplacesTheBuiltInReaction) {
  TBeepCounter beeps;
  TForm form;
  form.Field->SetMaxValue(359);
  int invalid = 0, exits = 0;
  form.Field->OnInvalidEntry = [&](TPBNumEdit *) { ++invalid; };
  form.Field->OnExit = [&](TPBNumEdit *) { ++exits; };
  form.Field->setText("400");
  form.Leave();
  EXPECT_EQ(invalid, 1);
  EXPECT_EQ(exits, 0);
  EXPECT_EQ(beeps.Count, 0);
  EXPECT_EQ(form.Field->text().toStdString(), "400");
  EXPECT_TRUE(form.Other->hasFocus());
}

TEST_F(FieldTest, UnreadableTextOnLeavingIsReportedBeforeAnyRangeCheck) {
  TBeepCounter beeps;
  TForm form;
  form.Field->SetMaxValue(359);
  int exits = 0;
  form.Field->OnExit = [&](TPBNumEdit *) { ++exits; };
  form.Field->setText("12E");
  form.Leave();
  const auto errors = TakeErrors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "'12E' ist kein gültiger Gleitkommawert");
  EXPECT_EQ(form.Field->text().toStdString(), "12E");
  EXPECT_EQ(exits, 0);
  EXPECT_EQ(beeps.Count, 0);
}

TEST_F(FieldTest, WindowDeactivationIsNoExit) {
  TForm form;
  int exits = 0, enters = 0;
  form.Field->OnExit = [&](TPBNumEdit *) { ++exits; };
  form.Field->OnEnter = [&](TPBNumEdit *) { ++enters; };
  QFocusEvent out(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
  QCoreApplication::sendEvent(form.Field, &out);
  QFocusEvent in(QEvent::FocusIn, Qt::ActiveWindowFocusReason);
  QCoreApplication::sendEvent(form.Field, &in);
  EXPECT_EQ(exits, 0);
  EXPECT_EQ(enters, 0);
  form.Leave();
  EXPECT_EQ(exits, 1);
}

TEST_F(FieldTest, EnterAndEscapeBelongToTheFormThatUsesThem) {
  TBeepCounter beeps;
  {
    QWidget plain; // no default button, no dialog: the keys arrive as characters
    TPBNumEdit e(&plain);
    QTest::keyClick(&e, Qt::Key_Return);
    QTest::keyClick(&e, Qt::Key_Escape);
    EXPECT_EQ(beeps.Count, 2);
  }
  beeps.Count = 0;
  QDialog dialog;
  auto *layout = new QVBoxLayout(&dialog);
  auto *e = new TPBNumEdit(&dialog);
  auto *ok = new QPushButton("OK", &dialog);
  layout->addWidget(e);
  layout->addWidget(ok);
  ok->setDefault(true);
  int accepted = 0;
  QObject::connect(ok, &QPushButton::clicked, [&] { ++accepted; });
  dialog.show();
  QTest::keyClick(e, Qt::Key_Return);
  EXPECT_EQ(accepted, 1);
  QTest::keyClick(e, Qt::Key_Escape);
  EXPECT_FALSE(dialog.isVisible()); // rejected
  EXPECT_EQ(beeps.Count, 0);
  EXPECT_EQ(e->text().toStdString(), "0");
}

TEST_F(FieldTest, EntryByMouseKeepsTheAutoSelection) {
  TForm form;
  form.Field->SetValue(1234);
  form.Other->setFocus();
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.Other->hasFocus(); }, 5000));
  QTest::mouseClick(form.Field, Qt::LeftButton, {}, QPoint(5, form.Field->height() / 2));
  ASSERT_TRUE(form.Field->hasFocus());
  EXPECT_EQ(form.Field->selectedText().toStdString(), "1234");
  // The next click places the caret as usual.
  QTest::mouseClick(form.Field, Qt::LeftButton, {}, QPoint(5, form.Field->height() / 2));
  EXPECT_FALSE(form.Field->hasSelectedText());
  // Entry by Tab selects all too.
  form.Other->setFocus();
  QTest::keyClick(form.Other, Qt::Key_Backtab);
  ASSERT_TRUE(form.Field->hasFocus());
  EXPECT_EQ(form.Field->selectedText().toStdString(), "1234");
}

TEST_F(FieldTest, ClipboardRequests) {
  TBeepCounter beeps;
  QClipboard *cb = QGuiApplication::clipboard();
  TPBNumEdit e;
  e.SetNumberFormat(TNumberFormat::Thousands);
  e.SetValue(1234567);
  e.setCursorPosition(2);
  e.CopyToClipboard();
  EXPECT_EQ(cb->text().toStdString(), "0"); // nothing selected
  e.setSelection(0, 5);                     // "1,234"
  e.CopyToClipboard();
  EXPECT_EQ(cb->text().toStdString(), "1234");
  e.selectAll();
  e.CutToClipboard();
  EXPECT_EQ(cb->text().toStdString(), "1234567");
  EXPECT_EQ(e.text().toStdString(), "0");

  int clears = 0;
  e.SetValue(99);
  e.selectAll();
  e.OnClear = [&](TPBNumEdit *) { ++clears; };
  e.ClearSelection();
  EXPECT_EQ(clears, 1);
  EXPECT_EQ(e.text().toStdString(), "99");
  e.OnClear = nullptr;
  e.ClearSelection();
  EXPECT_EQ(e.text().toStdString(), "0");

  cb->setText("12\n3x");
  e.selectAll();
  e.PasteFromClipboard();
  EXPECT_EQ(e.text().toStdString(), "123");
  EXPECT_EQ(beeps.Count, 2);
}

TEST_F(FieldTest, SeparatorsFollowALocaleChange) {
  TPBNumEdit e;
  e.SetNumberFormat(TNumberFormat::Thousands);
  e.SetValue(1234.5L);
  ASSERT_EQ(e.text().toStdString(), "1,234.5");
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  QEvent change(QEvent::LocaleChange);
  QCoreApplication::sendEvent(&e, &change);
  // Converted only when the posted notice arrives; reads are right meanwhile.
  EXPECT_EQ(e.text().toStdString(), "1,234.5");
  EXPECT_EQ(double(e.Value()), 1234.5);
  EXPECT_EQ(double(e.Value()), 1234.5);
  QCoreApplication::sendPostedEvents(&e);
  EXPECT_EQ(e.text().toStdString(), "1.234,5");
  EXPECT_EQ(double(e.Value()), 1234.5);
  // The application's own notice works the same way.
  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
  QCoreApplication::sendEvent(qApp, &change);
  QCoreApplication::sendPostedEvents(&e);
  EXPECT_EQ(e.text().toStdString(), "1,234.5");
}

TEST_F(FieldTest, ValueWrittenBeforeTheNoticeIsNotConvertedTwice) {
  TPBNumEdit e;
  e.SetValue(1.5L);
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  QEvent change(QEvent::LocaleChange);
  QCoreApplication::sendEvent(&e, &change);
  e.SetValue(2.5L); // already in the new separators
  EXPECT_EQ(e.text().toStdString(), "2,5");
  EXPECT_EQ(double(e.Value()), 2.5);
  QCoreApplication::sendPostedEvents(&e);
  EXPECT_EQ(e.text().toStdString(), "2,5");
  EXPECT_EQ(double(e.Value()), 2.5);
}

TEST_F(FieldTest, Colours) {
  QWidget parent;
  parent.setPalette(QPalette(Qt::yellow));
  TPBNumEdit e(&parent);
  auto shown = [&] { return e.palette().color(e.isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Base); };
  EXPECT_EQ(e.Color(), QApplication::palette().color(QPalette::Base));
  EXPECT_EQ(e.DisabledColor(), QApplication::palette().color(QPalette::Button));
  e.SetColor(Qt::red);
  e.SetDisabledColor(Qt::gray);
  EXPECT_EQ(shown(), QColor(Qt::red));
  e.setEnabled(false);
  EXPECT_EQ(shown(), QColor(Qt::gray));
  e.SetDisabledColor(Qt::blue);
  EXPECT_EQ(shown(), QColor(Qt::blue));
  parent.setEnabled(true);
  e.setEnabled(true);
  EXPECT_EQ(shown(), QColor(Qt::red));

  e.SetParentColor(true);
  const QColor parentBg = parent.palette().color(parent.backgroundRole());
  EXPECT_EQ(e.Color(), parentBg);
  EXPECT_EQ(shown(), parentBg);
  parent.setPalette(QPalette(Qt::green));
  const QColor newBg = parent.palette().color(parent.backgroundRole());
  EXPECT_EQ(e.Color(), newBg);
  EXPECT_EQ(shown(), newBg);
  e.SetColor(Qt::red); // differs from the parent: no longer follows it
  EXPECT_FALSE(e.ParentColor());
}

} // namespace
