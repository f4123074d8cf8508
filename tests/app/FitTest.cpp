// The window's texts against the fonts it really gets: every caption, combo
// box item and position value fits the room its control gives it, first by
// the font's measure, then in the pixels a real X server shows. Runs on its
// own Xvfb at 96 dpi; CTest runs it once more with QT_SCALE_FACTOR=2.
#include "VirtualDisplay.h"
#include "WindowSupport.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QCursor>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QStyle>
#include <QStyleOption>
#include <QTest>
#include <map>

namespace {

// ------------------------------------------------------------ the display

VirtualDisplay *Display = nullptr;
std::string DisplayProblem;
bool DisplayMissing = false;

class DisplayEnvironment : public ::testing::Environment {
public:
  void SetUp() override {
    Display = new VirtualDisplay;
    if (!Display->Start(DisplayProblem, DisplayMissing))
      return;
    // Before the application object exists: it picks its platform once.
    setenv("DISPLAY", Display->Name().c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
  }
  void TearDown() override {
    delete Display;
    Display = nullptr;
  }
};
const auto *const Environment = ::testing::AddGlobalTestEnvironment(new DisplayEnvironment);

qreal ExpectedScale() {
  const char *s = std::getenv("QT_SCALE_FACTOR");
  return s != nullptr && *s != '\0' ? std::atof(s) : 1.0;
}

// ------------------------------------------------------------ pixels

int Distance(QRgb a, QRgb b) {
  return std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) + std::abs(qBlue(a) - qBlue(b));
}

// The colour most pixels of the area have: the control's face behind the text.
QRgb Background(const QImage &img, QRect area) {
  std::map<QRgb, int> count;
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x)
      ++count[img.pixel(x, y)];
  QRgb best = 0;
  int most = -1;
  for (const auto &[rgb, n] : count)
    if (n > most) {
      best = rgb;
      most = n;
    }
  return best;
}

// First and last pixel column that holds ink: a pixel at least half as far
// from the background as the text colour is.
struct Extent {
  int first = -1;
  int last = -1;
  int Width() const { return first < 0 ? 0 : last - first + 1; }
};

Extent InkColumns(const QImage &img, QRect area, QRgb text, QRgb background) {
  const int threshold = Distance(text, background) / 2;
  Extent e;
  for (int x = area.left(); x <= area.right(); ++x)
    for (int y = area.top(); y <= area.bottom(); ++y)
      if (Distance(img.pixel(x, y), background) > threshold) {
        if (e.first < 0)
          e.first = x;
        e.last = x;
        break;
      }
  return e;
}

// The ink width of the text drawn whole with the same font, colours and
// device pixel ratio: what the control should show.
int ReferenceInkWidth(const QString &text, const QFont &font, QRgb pen, QRgb background, qreal dpr) {
  const QFontMetrics fm(font);
  const QSize logical(fm.horizontalAdvance(text) + 40, fm.height() + 10);
  QImage img((QSizeF(logical) * dpr).toSize(), QImage::Format_RGB32);
  img.setDevicePixelRatio(dpr);
  img.fill(background);
  {
    QPainter p(&img);
    p.setFont(font);
    p.setPen(QColor(pen));
    p.drawText(QPointF(20, fm.ascent() + 5), text);
  }
  return InkColumns(img, img.rect(), pen, background).Width();
}

// The widget as the X server shows it.
QImage Shot(QWidget *w) {
  w->repaint();
  QGuiApplication::sync();
  const QPoint at = w->mapTo(w->window(), QPoint(0, 0));
  return w->screen()->grabWindow(w->window()->winId(), at.x(), at.y(), w->width(), w->height()).toImage();
}

// ------------------------------------------------------------ room by measure

// QLineEdit keeps this much between its contents and the text on each side.
constexpr int LineEditTextMargin = 2;

int LineEditRoom(QLineEdit *e) {
  QStyleOptionFrame o;
  o.initFrom(e);
  o.rect = e->rect();
  o.lineWidth = e->hasFrame() ? e->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &o, e) : 0;
  const QRect r = e->style()->subElementRect(QStyle::SE_LineEditContents, &o, e).marginsRemoved(e->textMargins());
  return r.width() - 2 * LineEditTextMargin;
}

// What a line edit needs to show the text without scrolling: its width and
// the cursor after it.
int LineEditNeed(QLineEdit *e, const QString &text) {
  return qRound(QFontMetricsF(e->font()).horizontalAdvance(text)) +
         e->style()->pixelMetric(QStyle::PM_TextCursorWidth, nullptr, e);
}

QRect ComboEditField(QComboBox *c) {
  QStyleOptionComboBox o;
  o.initFrom(c);
  o.editable = c->isEditable();
  o.frame = c->hasFrame();
  o.subControls = QStyle::SC_All;
  return c->style()->subControlRect(QStyle::CC_ComboBox, &o, QStyle::SC_ComboBoxEditField, c);
}

int ButtonRoom(QPushButton *b) {
  QStyleOptionButton o;
  o.initFrom(b);
  o.text = b->text();
  return b->style()->subElementRect(QStyle::SE_PushButtonContents, &o, b).width();
}

QRect GroupTitleRect(QGroupBox *g) {
  QStyleOptionGroupBox o;
  o.initFrom(g);
  o.text = g->title();
  o.lineWidth = 1;
  o.textAlignment = g->alignment();
  o.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
  return g->style()->subControlRect(QStyle::CC_GroupBox, &o, QStyle::SC_GroupBoxLabel, g);
}

// ------------------------------------------------------------ the window

class Fit : public ::testing::Test, public WindowFixture {
protected:
  void SetUp() override {
    if (DisplayMissing)
      GTEST_SKIP() << DisplayProblem;
    ASSERT_TRUE(DisplayProblem.empty()) << DisplayProblem;
    ASSERT_EQ(QGuiApplication::platformName(), "xcb");
    // No tool tip may open over the controls.
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    QCursor::setPos(screen.bottomRight());
  }
  void TearDown() override { form.reset(); }

  void Start(const char *language) {
    CreateOnFarEnd(1000, language); // a port that opens and never answers: a start without a message box
    ASSERT_TRUE(boxes.empty()) << boxes.front().text.toStdString();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  }

  // Both axes, as the user's view choice shows them.
  void ShowEverything() {
    if (!form->ShowElevation)
      form->ShowElevationAction->trigger();
    ASSERT_TRUE(form->ShowElevation);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  }

  std::vector<QPushButton *> Buttons() const {
    return {form->Button1,  form->Button5,  form->Button9, form->Button11, form->Button2,
            form->Button8,  form->Button6,  form->Button4, form->Button10, form->Button7,
            form->Button12, form->Button13, form->Button3, form->Button14};
  }
  std::vector<QGroupBox *> Groups() const {
    return {form->GroupBox2, form->GroupBox3, form->GroupBox4, form->GroupBox5};
  }
  std::vector<QLabel *> Captions() const { return {form->Label1, form->Label13}; }
  std::vector<TPBNumEdit *> Fields() const {
    return {form->PBNumEdit1, form->PBNumEdit3, form->PBNumEdit2, form->PBNumEdit4};
  }

  // Checks the text shown in `area` (widget pixels) of the shot against the
  // same text drawn whole; `cutLeft`/`cutRight` name the edges at which the
  // control would cut it, where the ink must not reach. Empty when it fits.
  std::string Whole(QWidget *w, const QString &text, QRect area, QRgb pen, bool cutLeft, bool cutRight) const {
    const qreal dpr = w->devicePixelRatioF();
    const QImage shot = Shot(w);
    if (shot.size() != (QSizeF(w->size()) * dpr).toSize())
      return "the shot has the wrong size";
    const QRect device(QPointF(area.topLeft() * dpr).toPoint(), (QSizeF(area.size()) * dpr).toSize());
    const QRect in = device & shot.rect();
    const QRgb bg = Background(shot, in);
    const Extent ink = InkColumns(shot, in, pen, bg);
    const int expected = ReferenceInkWidth(text, w->font(), pen, bg, dpr);
    std::string problem;
    if (expected == 0)
      problem += " nothing to compare with;";
    if (std::abs(ink.Width() - expected) > 1)
      problem += " ink " + std::to_string(ink.Width()) + " px wide, drawn whole " + std::to_string(expected) + " px;";
    if (cutLeft && ink.first <= in.left())
      problem += " ink reaches the left edge;";
    if (cutRight && ink.last >= in.right())
      problem += " ink reaches the right edge;";
    return problem.empty() ? problem
                           : "'" + text.toStdString() + "' in a " + w->metaObject()->className() + ":" + problem;
  }

  // Pixel checks are retried until the deadline: the server may still be
  // behind the last paint.
  void ExpectWhole(const char *what, QWidget *w, const QString &text, QRect area, QRgb pen, bool cutLeft,
                   bool cutRight) {
    std::string problem;
    const bool ok = RunEventsUntil(
        [&] {
          problem = Whole(w, text, area, pen, cutLeft, cutRight);
          return problem.empty();
        },
        2000ms);
    EXPECT_TRUE(ok) << what << ": " << problem;
  }

  void ExpectWindowTextsWhole(const char *language) {
    for (QPushButton *b : Buttons())
      if (b->isVisible())
        ExpectWhole(language, b, b->text(), b->rect().adjusted(1, 1, -1, -1),
                    b->palette().color(QPalette::ButtonText).rgb(), true, true);
    for (QGroupBox *g : Groups())
      if (g->isVisible())
        ExpectWhole(language, g, g->title(), GroupTitleRect(g) & g->rect(),
                    g->palette().color(QPalette::WindowText).rgb(), false, true);
    for (QLabel *l : Captions())
      ExpectWhole(language, l, l->text(), l->rect(), l->palette().color(QPalette::WindowText).rgb(), false, true);
    for (QComboBox *c : {form->ComboBox1, form->ComboBox3})
      for (int i = 0; i < c->count(); ++i) {
        const QSignalBlocker block(c);
        c->setCurrentIndex(i);
        QLineEdit *e = c->lineEdit();
        ExpectWhole(language, e, e->text(), e->rect(), e->palette().color(QPalette::Text).rgb(), true, true);
      }
    for (TPBNumEdit *f : Fields())
      if (FieldWidget(f)->isVisible())
        for (int value : {0, 123, 180, 359, 360}) {
          SetFieldValue(f, value);
          auto *e = static_cast<QLineEdit *>(FieldWidget(f));
          ExpectWhole(language, e, e->text(), e->rect().adjusted(1, 1, -1, -1),
                      e->palette().color(QPalette::Text).rgb(), true, true);
        }
  }
};

const char *const Languages[] = {"EN", "DE", "FR"};

TEST_F(Fit, RunsOnItsOwnDisplayAt96DpiAndTheChosenScale) {
  Start("EN");
  EXPECT_NEAR(form->screen()->logicalDotsPerInch(), 96.0, 0.5);
  EXPECT_DOUBLE_EQ(form->devicePixelRatioF(), ExpectedScale());
  // The family the window asked for, or the system's stand-in for it.
  EXPECT_EQ(QFontInfo(form->font()).pixelSize(), 11) << QFontInfo(form->font()).family().toStdString();
}

TEST_F(Fit, ControlsKeepTheirPlaceWithinAFewPixels) {
  Start("EN");
  ShowEverything();
  struct Place {
    QWidget *w;
    QRect designed;
  } places[] = {
      {form->GroupBox2, {0, 0, 201, 61}},
      {form->Label1, {5, 20, 0, 0}},
      {form->Label13, {6, 40, 0, 0}},
      {form->ComboBox1, {55, 15, 51, 21}},
      {form->ComboBox3, {55, 35, 51, 21}},
      {form->Button1, {121, 10, 75, 25}},
      {form->Image1, {0, 61, 200, 200}},
      {form->Label6, {0, 61, 0, 0}},
      {form->GroupBox3, {42, 265, 116, 105}},
      {form->Button5, {35, 15, 45, 25}},
      {form->Button9, {5, 15, 26, 25}},
      {form->Button11, {85, 15, 26, 25}},
      {form->Button2, {35, 45, 45, 25}},
      {FieldWidget(form->PBNumEdit1), {5, 48, 26, 21}},
      {FieldWidget(form->PBNumEdit3), {5, 77, 26, 21}},
      {form->Button8, {35, 75, 45, 25}},
      {form->GroupBox4, {162, 300, 81, 106}},
      {form->Button6, {5, 15, 71, 25}},
      {form->Button4, {5, 45, 71, 25}},
      {form->Button10, {6, 75, 70, 25}},
      {form->GroupBox5, {247, 300, 116, 105}},
      {form->Button7, {35, 15, 45, 25}},
      {form->Button12, {5, 15, 26, 25}},
      {form->Button13, {85, 15, 26, 25}},
      {form->Button3, {35, 45, 45, 25}},
      {FieldWidget(form->PBNumEdit2), {85, 48, 26, 21}},
      {FieldWidget(form->PBNumEdit4), {85, 77, 26, 21}},
      {form->Button14, {35, 75, 45, 25}},
  };
  constexpr int Few = 3;
  for (const Place &p : places) {
    const QRect g = p.w->geometry();
    const std::string name = p.w->metaObject()->className() + std::string(" at ") + std::to_string(p.designed.x()) +
                             "," + std::to_string(p.designed.y());
    EXPECT_LE(std::abs(g.x() - p.designed.x()), Few) << name;
    EXPECT_LE(std::abs(g.y() - p.designed.y()), Few) << name;
    if (p.designed.width() > 0) { // labels size themselves to their text
      EXPECT_LE(std::abs(g.width() - p.designed.width()), Few) << name;
      EXPECT_LE(std::abs(g.height() - p.designed.height()), Few) << name;
    }
  }
  // Inside each group no control covers another, nor sticks out of the group.
  for (QGroupBox *g : Groups()) {
    std::vector<QWidget *> kids;
    for (QObject *o : g->children())
      if (auto *w = qobject_cast<QWidget *>(o); w != nullptr && !w->isHidden())
        kids.push_back(w);
    for (std::size_t i = 0; i < kids.size(); ++i) {
      EXPECT_TRUE(g->rect().contains(kids[i]->geometry())) << g->title().toStdString() << " child " << i;
      // The port and poll-rate boxes share one pixel row by design.
      for (std::size_t j = i + 1; j < kids.size(); ++j) {
        const QRect both = kids[i]->geometry() & kids[j]->geometry();
        EXPECT_TRUE(both.width() <= 1 || both.height() <= 1)
            << g->title().toStdString() << ": children " << i << " and " << j << " overlap";
      }
    }
  }
}

TEST_F(Fit, EveryTextHasRoomByTheFontsMeasure) {
  for (const char *language : Languages) {
    SCOPED_TRACE(language);
    form.reset();
    peer.reset();
    Start(language);
    for (QPushButton *b : Buttons())
      EXPECT_LE(b->fontMetrics().horizontalAdvance(b->text()), ButtonRoom(b)) << b->text().toStdString();
    for (QGroupBox *g : Groups()) {
      const QRect title = GroupTitleRect(g);
      EXPECT_LE(g->fontMetrics().horizontalAdvance(g->title()), title.width()) << g->title().toStdString();
      EXPECT_LE(title.right(), g->rect().right()) << g->title().toStdString();
    }
    // A caption ends before the box beside it begins.
    for (QLabel *l : Captions()) {
      EXPECT_LE(l->fontMetrics().horizontalAdvance(l->text()), l->width()) << l->text().toStdString();
      EXPECT_LT(l->x() + l->fontMetrics().horizontalAdvance(l->text()), form->ComboBox1->x())
          << l->text().toStdString();
    }
    for (QComboBox *c : {form->ComboBox1, form->ComboBox2, form->ComboBox3}) {
      EXPECT_EQ(c->lineEdit()->geometry(), ComboEditField(c));
      for (int i = 0; i < c->count(); ++i)
        EXPECT_LE(LineEditNeed(c->lineEdit(), c->itemText(i)), LineEditRoom(c->lineEdit()))
            << c->itemText(i).toStdString();
    }
    // A right-aligned position field may shift its text into its left
    // margin, no further: the text then starts at the frame, still whole.
    for (TPBNumEdit *f : Fields()) {
      auto *e = static_cast<QLineEdit *>(FieldWidget(f));
      for (const char *value : {"123", "180", "359", "360"})
        EXPECT_LE(LineEditNeed(e, value), LineEditRoom(e) + LineEditTextMargin) << value;
    }
  }
}

TEST_F(Fit, EveryTextShowsWholeOnTheScreen) {
  for (const char *language : Languages) {
    SCOPED_TRACE(language);
    form.reset();
    peer.reset();
    Start(language);
    ExpectWindowTextsWhole(language); // as the program shows itself
    ShowEverything();
    ExpectWindowTextsWhole(language); // and with axis 2's controls
  }
}

TEST_F(Fit, BothAxesShownByTheChoiceFitTheWindowAndTheirPositionsShowWhole) {
  for (const char *language : Languages) {
    SCOPED_TRACE(language);
    form.reset();
    peer.reset();
    Start(language);
    ShowEverything();
    // The window takes the extent of the elevation dial and the axis-2 groups.
    EXPECT_EQ(form->size(), QSize(405, 406));
    for (QWidget *w : {static_cast<QWidget *>(form->Image2), static_cast<QWidget *>(form->Label7),
                       static_cast<QWidget *>(form->GroupBox4), static_cast<QWidget *>(form->GroupBox5)}) {
      EXPECT_TRUE(w->isVisible());
      EXPECT_TRUE(form->rect().contains(w->geometry()));
    }
    // The widest positions each label shows stay within the label and the
    // window, and clear of the needle's ring.
    for (auto [azimuth, elevation] : {std::pair{359, 180}, std::pair{-1555, -1555}}) {
      form->Controller.TakeReport(azimuth, elevation);
      for (QLabel *l : {form->Label6, form->Label7}) {
        EXPECT_LE(l->fontMetrics().horizontalAdvance(l->text()), l->width()) << l->text().toStdString();
        EXPECT_TRUE(form->rect().contains(l->geometry())) << l->text().toStdString();
      }
      const QRect ring(form->ElevationNeedleCentre() - QPoint(31, 31), QSize(63, 63));
      EXPECT_FALSE(form->Label7->geometry().intersects(ring));
    }
    ExpectWindowTextsWhole(language);
  }
}

// The checks themselves: a caption too long for its button and a number
// too long for its box are caught, by measure and in pixels.
TEST_F(Fit, TheChecksCatchACutText) {
  Start("EN");
  auto *button = new QPushButton(QStringLiteral("|<<<<<"), form->GroupBox3);
  button->setGeometry(5, 15, 26, 25);
  button->show();
  button->raise();
  EXPECT_GT(button->fontMetrics().horizontalAdvance(button->text()), ButtonRoom(button));
  EXPECT_FALSE(Whole(button, button->text(), button->rect().adjusted(1, 1, -1, -1),
                     button->palette().color(QPalette::ButtonText).rgb(), true, true)
                   .empty());
  {
    const QSignalBlocker block(form->ComboBox3);
    form->ComboBox3->setEditText(QStringLiteral("100000"));
  }
  QLineEdit *e = form->ComboBox3->lineEdit();
  EXPECT_GT(LineEditNeed(e, e->text()), LineEditRoom(e));
  EXPECT_FALSE(Whole(e, e->text(), e->rect(), e->palette().color(QPalette::Text).rgb(), true, true).empty());
}

} // namespace
