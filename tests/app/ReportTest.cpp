// Position reports as they arrive on the port: the trace line, both
// alignments, the labels, the frame buffer and the needle.
#include "WindowSupport.h"

#include "dispatcher/AwUser.h"
#include "runtime/SysUtils.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <stdexcept>

namespace {

class Reports : public ::testing::Test, public WindowFixture {
protected:
  void SetUp() override {
    CreateOnFarEnd(5000); // a long poll period: the test plays the unit and answers nothing
    ASSERT_TRUE(form->ApdComPort1.Open());
  }

  // Sends bytes and waits for the trace line they produce.
  QString Report(const std::string &bytes) {
    const int lines = MemoLines();
    EXPECT_TRUE(peer->Send(bytes));
    EXPECT_TRUE(RunEventsUntil([&] { return MemoLines() > lines; })) << "no trace line";
    return LastMemoLine();
  }
  uint32_t Waiting() { return form->ApdComPort1.PortDispatcher()->ReceivedCount(); }
};

TEST_F(Reports, BothAlignmentsLeadingCrAndOddDigits) {
  struct Case {
    const char *name;
    std::string bytes;
    int32_t p1, p2;
    const char *label6, *label7;
  } cases[] = {
      {"first alignment", "AZ=123  EL=045\r\n", 123, 45, "123°", "45°"},
      {"second alignment", "Z=123  EL=045\r\nA", 123, 45, "123°", "45°"},
      {"leading CR", "\rAZ=010  EL=090\r", 10, 90, "10°", "90°"},
      {"17 bytes", "AZ=359  EL=000\r\n\r", 359, 0, "359°", "0°"},
      {"space in a digit", "AZ= 45  EL=000\r\n", -1555, 0, "-1555°", "0°"},
      {"garbage changes nothing", "XYZ=777  EL=777\r", -1555, 0, "-1555°", "0°"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Report(c.bytes), Codes(c.bytes));
    EXPECT_EQ(form->Position1, c.p1);
    EXPECT_EQ(form->Position2, c.p2);
    EXPECT_EQ(form->Label6->text(), QString::fromUtf8(c.label6));
    EXPECT_EQ(form->Label7->text(), QString::fromUtf8(c.label7));
    EXPECT_EQ(Waiting(), 0u);
  }
  EXPECT_EQ(MemoLine(0), "Memo1");
}

TEST_F(Reports, SingleBytesAndShortReads) {
  // One byte: read, stored in entry 0, traced without a trailing space.
  EXPECT_EQ(Report("\r"), "13");
  EXPECT_EQ(form->FrameBuffer[0], 13);

  // Five bytes wait unread and join the next event.
  const int lines = MemoLines();
  ASSERT_TRUE(peer->Send("AZ=12"));
  ASSERT_TRUE(RunEventsUntil([&] { return Waiting() == 5; }));
  EXPECT_EQ(MemoLines(), lines);
  EXPECT_EQ(Report("3  EL=045\r\n"), Codes("AZ=123  EL=045\r\n"));
  EXPECT_EQ(MemoLines(), lines + 1);
  EXPECT_EQ(form->Position1, 123);
}

TEST_F(Reports, AFirstByteAloneWaitsForTheRestOfItsReport) {
  const std::string first = "AZ=123  EL=045\r\n";
  const int lines = MemoLines();
  ASSERT_TRUE(peer->Send(first.substr(0, 1)));
  ASSERT_TRUE(RunEventsUntil([&] { return Waiting() == 1; }));
  EXPECT_EQ(Report(first.substr(1)), Codes(first));
  EXPECT_EQ(MemoLines(), lines + 1);
  EXPECT_EQ(form->Position1, 123);
  EXPECT_EQ(form->Position2, 45);
  for (int i = 0; i < 16; ++i)
    EXPECT_EQ(form->FrameBuffer[i], static_cast<uint8_t>(first[i])) << i;
  EXPECT_EQ(Waiting(), 0u);
}

TEST_F(Reports, OneDeliveryIsReadPieceByPieceSoNoReportIsSwallowed) {
  const std::string r1 = "AZ=200  EL=010\r\n";
  const std::string r2 = "AZ=077  EL=033\r\n";
  const std::string garbage40 = "0123456789abcdefghijklmnopqrstuvwxyz!#$%";
  struct Case {
    const char *name;
    std::string bytes;
    std::vector<std::string> pieces; // one trace line each
    std::vector<int32_t> shown;      // azimuths shown, in order
    uint32_t left;                   // bytes still waiting afterwards
  } cases[] = {
      {"two reports and a CR answer", r1 + "\r" + r2, {r1, "\r" + r2}, {200, 77}, 0},
      {"noise, a cut-off report, a report", "xy" + std::string("AZ=12") + r1, {"xy", "AZ=12", r1}, {200}, 0},
      {"report, noise, lone CR", r1 + "q\r", {r1 + "q\r"}, {200}, 0},
      {"a report and the start of the next", r1 + "A", {r1}, {200}, 1},
      {"its remaining bytes", r2.substr(1), {r2}, {77}, 0},
      {"noise with an A that starts nothing", "bA" + std::string("\r"), {"bA\r"}, {}, 0},
      {"forty bytes of noise: one line", garbage40, {garbage40}, {}, 0},
  };
  std::vector<int32_t> shown;
  form->PositionsShown = [&] { shown.push_back(form->Position1); };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    shown.clear();
    const int lines = MemoLines();
    ASSERT_TRUE(peer->Send(c.bytes));
    ASSERT_TRUE(RunEventsUntil([&] { return MemoLines() == lines + int(c.pieces.size()) && Waiting() == c.left; }));
    for (size_t i = 0; i < c.pieces.size(); ++i)
      EXPECT_EQ(MemoLine(lines + int(i)), Codes(c.pieces[i])) << i;
    EXPECT_EQ(shown, c.shown);
  }
  // Only the first 29 bytes of a long piece are kept.
  for (int i = 0; i < 29; ++i)
    EXPECT_EQ(form->FrameBuffer[i], static_cast<uint8_t>(garbage40[i])) << i;
}

TEST_F(Reports, NeedlePointsAtTheAzimuth) {
  struct Case {
    const char *report;
    int dx, dy;
  } cases[] = {{"AZ=045  EL=000\r\n", 21, -21},
               {"AZ=000  EL=000\r\n", 0, -30},
               {"AZ=090  EL=000\r\n", 30, 0},
               {"AZ=123  EL=000\r\n", 25, 16},
               {"AZ=270  EL=000\r\n", -30, 0}};
  const QPoint centre = form->Image1->pos() + QPoint(100, 100);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.report);
    Report(c.report);
    ASSERT_TRUE(form->NeedleShown());
    EXPECT_EQ(form->NeedleCentre(), centre);
    EXPECT_EQ(form->NeedleTip(), centre + QPoint(c.dx, c.dy));
    // Painted over the dial: green along the needle, white inside the ring.
    const QImage shot = form->grab().toImage();
    const QPoint mid = centre + QPoint(c.dx * 2 / 3, c.dy * 2 / 3);
    const QColor onNeedle = shot.pixelColor(mid);
    EXPECT_LT(onNeedle.red(), 60);
    EXPECT_GT(onNeedle.green(), 90);
    EXPECT_LT(onNeedle.blue(), 60);
    const QPoint opposite = centre - QPoint(c.dx * 2 / 3, c.dy * 2 / 3);
    EXPECT_EQ(shot.pixelColor(opposite), QColor(Qt::white));
  }
}

TEST_F(Reports, PointerOverTheDialsSetsTheFieldsAndClickSendsIt) {
  struct Case {
    TImage *image;
    QPoint at;
    TPBNumEdit *field;
    int value;
  } cases[] = {{form->Image1, {150, 50}, form->PBNumEdit1, 45}, {form->Image1, {100, 0}, form->PBNumEdit1, 360},
               {form->Image1, {100, 100}, form->PBNumEdit1, 0}, {form->Image2, {150, 50}, form->PBNumEdit2, 135},
               {form->Image2, {40, 160}, form->PBNumEdit2, 0},  {form->Image2, {100, 20}, form->PBNumEdit2, 90}};
  for (const Case &c : cases) {
    QMouseEvent move(QEvent::MouseMove, QPointF(c.at), c.image->mapToGlobal(QPointF(c.at)), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QApplication::sendEvent(c.image, &move);
    EXPECT_EQ(FieldAsInteger(c.field), c.value) << c.at.x() << "," << c.at.y();
  }
  // The click sends what the field holds: the last value under the pointer.
  QMouseEvent move(QEvent::MouseMove, QPointF(100, 0), form->Image1->mapToGlobal(QPointF(100, 0)), Qt::NoButton,
                   Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(form->Image1, &move);
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(100, 0), form->Image1->mapToGlobal(QPointF(100, 0)),
                    Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QMouseEvent release(QEvent::MouseButtonRelease, QPointF(100, 0), form->Image1->mapToGlobal(QPointF(100, 0)),
                      Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(form->Image1, &press);
  QApplication::sendEvent(form->Image1, &release);
  EXPECT_EQ(pauses, std::vector<int>{200});
  EXPECT_EQ(std::string(form->CommandBuffer.begin(), form->CommandBuffer.begin() + 5), "M360\r");
}

// An exception that reaches the event loop is shown, and the loop goes on.
class Thrower : public QObject {
public:
  bool event(QEvent *e) override {
    if (e->type() == QEvent::User)
      throw Exception("Wert nicht erlaubt");
    return QObject::event(e);
  }
};

TEST(ErrorDisplay, EventLoopShowsUncaughtExceptions) {
  App();
  std::vector<Box> boxes;
  SetMessageBoxHandler([&](const QString &title, const QString &text) { boxes.push_back({title, text}); });
  Thrower t;
  QCoreApplication::postEvent(&t, new QEvent(QEvent::User));
  QCoreApplication::postEvent(&t, new QEvent(QEvent::User));
  EXPECT_TRUE(RunEventsUntil([&] { return boxes.size() == 2; }));
  SetMessageBoxHandler(nullptr);
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].title, "zelkor");
  EXPECT_EQ(boxes[0].text, "Wert nicht erlaubt.");
}

} // namespace
