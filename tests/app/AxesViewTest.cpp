// The view choice that shows the elevation: where every control stands with
// it off and on, the choice kept across restarts and saves of the nine
// lines, the elevation needle, a unit without elevation and a jammed
// elevation drive.
#include "WindowSupport.h"

#include "app/ShownTexts.h"
#include "controller/ExtraSettings.h"
#include "rotorsim/RotorSim.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTest>

namespace {

class AxesView : public ::testing::Test, public WindowFixture {
protected:
  void TearDown() override {
    form.reset();
    unit.reset();
  }
  void StartUnit(rotorsim::Options o) {
    rotorsim::ServerOptions so;
    so.linkPath = (dir / "COM1").string();
    unit = std::make_unique<rotorsim::PtyServer>(o, so);
  }
  std::string Extra() const { return ReadFile(dir / ExtraSettingsFileName); }
  bool AxisTwoShown() const {
    return !form->Image2->isHidden() && !form->Label7->isHidden() && !form->GroupBox4->isHidden() &&
           !form->GroupBox5->isHidden();
  }
  bool AxisTwoHidden() const {
    return form->Image2->isHidden() && form->Label7->isHidden() && form->GroupBox4->isHidden() &&
           form->GroupBox5->isHidden();
  }
  std::size_t Count(rotorsim::Command kind) const {
    std::size_t n = 0;
    for (const auto &c : unit->commands())
      n += c.command == kind;
    return n;
  }

  std::unique_ptr<rotorsim::PtyServer> unit;
};

TEST_F(AxesView, EveryControlStaysWhereItIsDesignedWithTheChoiceOffAndOn) {
  CreateOnFarEnd(1000);
  struct Place {
    QWidget *widget;
    QRect at;
  };
  const std::vector<Place> places = {
      {form->Image2, {205, 96, 200, 200}},
      {form->Image1, {0, 61, 200, 200}},
      {form->GroupBox2, {0, 0, 201, 61}},
      {form->GroupBox3, {42, 265, 116, 105}},
      {form->GroupBox4, {162, 300, 81, 106}},
      {form->GroupBox5, {247, 300, 116, 105}},
      {form->Button5, {35, 15, 45, 25}},
      {form->Button9, {5, 15, 26, 25}},
      {form->Button11, {85, 15, 26, 25}},
      {form->Button2, {35, 45, 45, 25}},
      {form->Button8, {35, 75, 45, 25}},
      {form->Button6, {5, 15, 71, 25}},
      {form->Button4, {5, 45, 71, 25}},
      {form->Button10, {6, 75, 70, 25}},
      {form->Button7, {35, 15, 45, 25}},
      {form->Button12, {5, 15, 26, 25}},
      {form->Button13, {85, 15, 26, 25}},
      {form->Button3, {35, 45, 45, 25}},
      {form->Button14, {35, 75, 45, 25}},
      {form->Button1, {121, 10, 75, 25}},
      {FieldWidget(form->PBNumEdit1), {5, 48, 26, 21}},
      {FieldWidget(form->PBNumEdit3), {5, 77, 26, 21}},
      {FieldWidget(form->PBNumEdit2), {85, 48, 26, 21}},
      {FieldWidget(form->PBNumEdit4), {85, 77, 26, 21}},
  };
  struct View {
    bool on;
    QSize window;
  } views[] = {{false, {201, 370}}, {true, {405, 406}}, {false, {201, 370}}};
  for (const View &v : views) {
    SCOPED_TRACE(v.on ? "on" : "off");
    if (v.on != form->ShowElevation)
      form->ShowElevationAction->trigger();
    EXPECT_EQ(form->ShowElevation, v.on);
    EXPECT_EQ(form->ShowElevationAction->isChecked(), v.on);
    EXPECT_TRUE(v.on ? AxisTwoShown() : AxisTwoHidden());
    for (std::size_t i = 0; i < places.size(); ++i)
      EXPECT_EQ(places[i].widget->geometry(), places[i].at) << "control " << i << " of the table";
    EXPECT_EQ(form->Label7->pos(), QPoint(205, 96));
    EXPECT_TRUE(form->Memo1->isHidden());
    EXPECT_EQ(form->size(), v.window) << "the window takes the extent of what it shows";
  }
  EXPECT_TRUE(boxes.empty()) << boxes.front().text.toStdString();
}

TEST_F(AxesView, TheChoiceIsKeptAcrossRestartsAndSavesOfTheNineLines) {
  const std::string nine = CrLf({"1", "EN", "1000", "10", "0", "0", "1", "50", "50"});
  SetConfig(nine);
  // Another part of the program keeps a key of its own there.
  WriteFile(dir / ExtraSettingsFileName, "AzimuthRange=450\n");
  Create();
  EXPECT_FALSE(form->ShowElevation) << "off by default";
  EXPECT_TRUE(AxisTwoHidden());

  form->ShowElevationAction->trigger();
  EXPECT_TRUE(AxisTwoShown());
  EXPECT_EQ(Extra(), "AzimuthRange=450\nShowElevation=1\n");
  EXPECT_EQ(Config(), nine) << "the nine lines are not touched by the choice";

  // Saves and reloads of the nine lines: the poll rate, the language, a
  // parking field; the choice stays shown and in its file.
  form->ComboBox3->setEditText("500");
  form->ComboBox2->setEditText("DE");
  SetFieldValue(form->PBNumEdit4, 30);
  form->PBNumEdit4Exit();
  EXPECT_TRUE(AxisTwoShown());
  EXPECT_EQ(Extra(), "AzimuthRange=450\nShowElevation=1\n");
  EXPECT_EQ(Config(), CrLf({"1", "DE", "500", "10", "0", "30", "1", "50", "50"}));
  EXPECT_EQ(form->ShowElevationAction->text(), "Elevation zeigen");

  // Restart: the window comes back with both axes.
  form.reset();
  Create();
  EXPECT_TRUE(form->ShowElevation);
  EXPECT_TRUE(AxisTwoShown());
  EXPECT_TRUE(form->ShowElevationAction->isChecked());

  form->ShowElevationAction->trigger();
  form.reset();
  EXPECT_EQ(Extra(), "AzimuthRange=450\nShowElevation=0\n");
  Create();
  EXPECT_TRUE(AxisTwoHidden());
  EXPECT_EQ(form->size(), QSize(201, 370));
  EXPECT_TRUE(Complaints().empty()) << Complaints().front().text.toStdString();
}

TEST_F(AxesView, ARightClickAnywhereOffersTheChoiceWithItsText) {
  SetConfig(CrLf({"1", "FR", "1000", "10", "0", "0", "1", "50", "50"}));
  Create();
  EXPECT_EQ(form->ShowElevationAction->text(), QString::fromUtf8("Afficher l'élévation"));
  for (QWidget *target : {static_cast<QWidget *>(form.get()), static_cast<QWidget *>(form->Image1),
                          static_cast<QWidget *>(form->GroupBox3)}) {
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), target->mapToGlobal(QPoint(5, 5)));
    QCoreApplication::sendEvent(target, &event);
    EXPECT_TRUE(RunEventsUntil([&] { return form->ViewMenu->isVisible(); })) << target->metaObject()->className();
    EXPECT_TRUE(form->ViewMenu->actions().contains(form->ShowElevationAction));
    form->ViewMenu->hide();
  }
  // A language without the entry: the built-in English.
  fs::remove(dir / "Zelkor_M_language.csv");
  WriteFile(dir / "Zelkor_M_language.csv", "EN;02;Exit\r\n");
  form.reset();
  SetConfig(CrLf({"1", "EN", "1000", "10", "0", "0", "1", "50", "50"}));
  Create();
  EXPECT_EQ(form->ShowElevationAction->text(), "Show elevation");
}

TEST_F(AxesView, TheElevationNeedleFollowsTheHalfRose) {
  WriteFile(dir / ExtraSettingsFileName, "ShowElevation=1\n");
  Create();
  ASSERT_TRUE(AxisTwoShown());
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  EXPECT_EQ(form->Label7->text(), "") << "no position before the unit reports one";
  EXPECT_FALSE(form->ElevationNeedleShown());
  const QPoint c(305, 196);
  struct Case {
    int elevation;
    QPoint tip;
  } cases[] = {
      {0, c + QPoint(-30, 0)},    {45, c + QPoint(-21, -21)}, {90, c + QPoint(0, -30)},
      {135, c + QPoint(21, -21)}, {180, c + QPoint(30, 0)},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.elevation);
    form->Controller.TakeReport(200, k.elevation);
    EXPECT_TRUE(form->ElevationNeedleShown());
    EXPECT_EQ(form->ElevationNeedleCentre(), c);
    EXPECT_EQ(form->ElevationNeedleTip(), k.tip);
    EXPECT_EQ(form->Label7->text(), QString::number(k.elevation) + QChar(0x00B0));
    // Drawn as the azimuth needle: green, over the dial.
    const QImage shot = form->grab().toImage();
    const QPoint mid = (c + k.tip) / 2;
    EXPECT_EQ(shot.pixelColor(mid), QColor(0, 128, 0)) << mid.x() << "," << mid.y();
  }
  // The azimuth needle is where it always was.
  EXPECT_EQ(form->NeedleCentre(), QPoint(100, 161));
}

TEST_F(AxesView, AUnitWithoutElevationShowsNoneAndKeepsTheGuardOff) {
  WriteFile(dir / ExtraSettingsFileName, "ShowElevation=1\n");
  Create();
  form->Controller.TakeReport(100, 45);
  EXPECT_EQ(form->Label7->text(), QString::fromUtf8("45°"));
  form->Controller.ElevationGuard.Move(90);
  form->Controller.TakeReport(101, std::nullopt);
  EXPECT_EQ(form->Label7->text(), "") << "not the last one";
  EXPECT_EQ(form->Label6->text(), QString::fromUtf8("101°"));
  EXPECT_FALSE(form->ElevationNeedleShown());
  EXPECT_FALSE(form->Controller.ElevationGuard.Armed());
}

TEST_F(AxesView, AJammedElevationIsStoppedOnceWithItsOwnMessageAndAMovingOneIsNot) {
  struct Case {
    const char *name;
    bool jammed;
  } cases[] = {{"jammed", true}, {"moving", false}};
  for (const Case &k : cases) {
    SCOPED_TRACE(k.name);
    rotorsim::Options o;
    o.startEl = 10;
    o.elSpeed = 3.0; // 30 degrees take 10 s: the whole window of the guard
    o.faults.stall = k.jammed;
    o.faults.stallAxis = rotorsim::StallAxis::Elevation;
    StartUnit(o);
    WriteFile(dir / ExtraSettingsFileName, "ShowElevation=1\n");
    SetConfig(CrLf({"1", "EN", "200", "10", "0", "0", "1", "50", "50"}));
    boxes.clear();
    Create();
    ASSERT_TRUE(RunEventsUntil([&] { return form->Label7->text() == QString::fromUtf8("10°"); }));
    SetFieldValue(form->PBNumEdit2, 45);
    form->Button3->click();
    if (k.jammed) {
      ASSERT_TRUE(RunEventsUntil([&] { return Count(rotorsim::Command::StopEl) == 1; }, Scaled(30000ms)));
      RunEventsFor(Scaled(1000ms));
      ASSERT_EQ(boxes.size(), 1u);
      EXPECT_EQ(boxes[0].text, "Elevation stopped: the rotator has not moved for 10 seconds.");
    } else {
      ASSERT_TRUE(RunEventsUntil([&] { return form->Label7->text() == QString::fromUtf8("45°"); }, Scaled(30000ms)));
      RunEventsFor(Scaled(500ms));
      EXPECT_TRUE(boxes.empty()) << boxes.front().text.toStdString();
    }
    EXPECT_EQ(Count(rotorsim::Command::StopEl), k.jammed ? 1u : 0u);
    EXPECT_EQ(Count(rotorsim::Command::StopAz), 0u);
    form.reset();
    unit.reset();
  }
}

} // namespace
