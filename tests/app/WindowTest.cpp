// The window against a simulated control unit on a pseudo-terminal: start,
// settings, commands and the poll.
#include "WindowSupport.h"

#include "portdialog/AdSelCom.h"
#include "rotorsim/RotorSim.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <sys/file.h>

namespace {

using rotorsim::Command;
using rotorsim::CommandRecord;

class Window : public ::testing::Test, public WindowFixture {
protected:
  void StartUnit(const char *name = "COM1") {
    rotorsim::ServerOptions so;
    so.linkPath = (dir / name).string();
    units.push_back(std::make_unique<rotorsim::PtyServer>(rotorsim::Options{}, so));
  }
  void TearDown() override {
    form.reset();
    units.clear();
  }

  rotorsim::PtyServer &Unit(std::size_t i = 0) { return *units.at(i); }

  static bool IsPoll(const CommandRecord &c) { return c.command == Command::Poll || c.command == Command::PollBoth; }

  std::vector<CommandRecord> Polls(std::size_t i = 0) {
    std::vector<CommandRecord> out;
    for (const CommandRecord &c : Unit(i).commands())
      if (IsPoll(c))
        out.push_back(c);
    return out;
  }
  std::vector<CommandRecord> Others() {
    std::vector<CommandRecord> out;
    for (const CommandRecord &c : Unit().commands())
      if (!IsPoll(c))
        out.push_back(c);
    return out;
  }
  // Waits for the next command that is not a poll and returns it.
  CommandRecord NextCommand(std::size_t before) {
    EXPECT_TRUE(RunEventsUntil([&] { return Others().size() > before; })) << "no command arrived";
    const auto others = Others();
    return others.size() > before ? others[before] : CommandRecord{};
  }

  std::vector<std::unique_ptr<rotorsim::PtyServer>> units;
  int closes = 0;
};

TEST_F(Window, FirstStartCreatesTheFileOpensCom1AndPollsWithC2) {
  StartUnit();
  const auto created = std::chrono::steady_clock::now();
  Create();
  EXPECT_EQ(Config(), CrLf({"1", "EN", "1000", "10", "0", "0", "0", "50", "50"}));
  EXPECT_EQ(form->pos(), QPoint(50, 50));
  EXPECT_TRUE(boxes.empty()) << boxes.front().text.toStdString();
  EXPECT_TRUE(form->ApdComPort1.Open());
  EXPECT_EQ(form->ApdComPort1.Baud(), 9600);
  EXPECT_EQ(form->ApdComPort1.ComNumber(), 1);
  EXPECT_EQ(form->PollMode, 2);
  EXPECT_TRUE(form->Timer1->Enabled());
  EXPECT_EQ(form->Timer1->Interval(), 1000);
  EXPECT_EQ(form->ComboBox1->currentText(), "1");
  EXPECT_EQ(form->ComboBox2->currentText(), "EN");
  EXPECT_EQ(form->ComboBox3->currentText(), "1000");

  // Two polls, a period apart, each "C" "2" CR; the reports reach the label.
  ASSERT_TRUE(RunEventsUntil([&] { return Polls().size() >= 2; }));
  const auto polls = Polls();
  EXPECT_EQ(polls[0].bytes, "C2\r");
  EXPECT_EQ(polls[1].bytes, "C2\r");
  // Timed where the window sends (arrival times also carry the far end's
  // delays), from before the timer started: a repeating timer keeps its
  // schedule, so one late tick would make the next gap look short.
  const std::size_t first = SentIndex("C2\r"), second = SentIndex("C2\r", first + 1);
  ASSERT_LT(second, sent.size());
  EXPECT_GE(sent[second].at - created, 2000ms) << "two full periods of 1000 ms, not shorter ones";
  ASSERT_TRUE(RunEventsUntil([&] { return form->Label6->text() == QString::fromUtf8("0°"); }));
  EXPECT_TRUE(form->NeedleShown());

  // A save and reload (here: the poll rate) sets the poll mode back to 1; the
  // file written before the reload still holds 2.
  form->ComboBox3->setEditText("500");
  EXPECT_EQ(form->PollMode, 1);
  EXPECT_EQ(Config(), CrLf({"1", "EN", "500", "10", "0", "0", "2", "50", "50"}));
  const std::size_t before = Polls().size();
  ASSERT_TRUE(RunEventsUntil([&] { return Polls().size() > before + 1; }));
  EXPECT_EQ(Polls().back().bytes, "C\r");
}

TEST_F(Window, LayoutShowsAxisOneOnly) {
  StartUnit();
  Create();
  EXPECT_EQ(form->windowTitle(), "Zelkor G V1.0");
  for (QWidget *w : {static_cast<QWidget *>(form->Image2), static_cast<QWidget *>(form->Label7),
                     static_cast<QWidget *>(form->GroupBox4), static_cast<QWidget *>(form->GroupBox5),
                     static_cast<QWidget *>(form->Memo1), static_cast<QWidget *>(form->Label2),
                     static_cast<QWidget *>(form->ComboBox2)})
    EXPECT_TRUE(w->isHidden());
  EXPECT_EQ(form->Image1->geometry(), QRect(0, 61, 200, 200));
  EXPECT_EQ(form->GroupBox3->geometry(), QRect(42, 265, 116, 105));
  EXPECT_EQ(form->Button2->geometry(), QRect(35, 45, 45, 25));
  // The window takes the extent of the visible controls.
  EXPECT_EQ(form->size(), QSize(201, 370));
  EXPECT_EQ(form->Button9->text(), "|<<");
  EXPECT_EQ(form->Button9->toolTip(), "CCW/DOWN 1");
  EXPECT_EQ(form->ComboBox1->count(), 32);
  EXPECT_EQ(form->ComboBox3->itemText(0), "200");
  EXPECT_EQ(form->Image1->toolTip(), "Click any position to move");
  EXPECT_EQ(form->Label6->palette().color(QPalette::WindowText), QColor(0, 128, 0));
  EXPECT_TRUE(form->Label6->font().bold());
  // Language texts: entries 2, 5 and 7.
  EXPECT_EQ(form->Button1->text(), "Exit");
  EXPECT_EQ(form->GroupBox3->title(), "Manual 1");
  EXPECT_EQ(form->GroupBox5->title(), "Manual 2");
  EXPECT_EQ(form->GroupBox4->title(), "Manual 1+2");
  EXPECT_EQ(FieldWidget(form->PBNumEdit3)->toolTip(), "Parking Position 1");
  // The dial picture was read from the working directory, not the built-in one.
  EXPECT_EQ(form->Image1->Picture().pixel(2, 2), LoadJpegFile(DataDir() + "/Windrose_AZ.jpg").pixel(2, 2));
}

TEST_F(Window, EachButtonSendsItsBytes) {
  StartUnit();
  SetConfig(CrLf({"1", "EN", "5000", "10", "270", "35", "1", "50", "50"}));
  Create();
  struct Case {
    QPushButton *button;
    std::function<void()> prepare;
    const char *bytes;
    bool pause;
  } cases[] = {
      {form->Button2, [&] { SetFieldValue(form->PBNumEdit1, 7); }, "M007\r", true},
      {form->Button2, [&] { SetFieldValue(form->PBNumEdit1, 180); }, "M180\r", true},
      {form->Button3, [&] { SetFieldValue(form->PBNumEdit2, 90); }, "MB090\r", true},
      {form->Button4,
       [&] {
         SetFieldValue(form->PBNumEdit1, 45);
         SetFieldValue(form->PBNumEdit2, 10);
       },
       "W045 010\r", true},
      {form->Button5, nullptr, "A\r", true},
      {form->Button6, nullptr, "S\r", true},
      {form->Button7, nullptr, "E\r", true},
      {form->Button8, nullptr, "M270\r", true},
      {form->Button14, nullptr, "MB035\r", true},
      {form->Button10, nullptr, "W270 035\r", true},
      {form->Button9, nullptr, "L\r", false},
      {form->Button11, nullptr, "R\r", false},
      {form->Button12, nullptr, "D\r", false},
      {form->Button13, nullptr, "U\r", false},
  };
  for (const Case &c : cases) {
    if (c.prepare)
      c.prepare();
    const std::size_t before = Others().size();
    pauses.clear();
    c.button->click();
    EXPECT_EQ(NextCommand(before).bytes, c.bytes) << c.button->toolTip().toStdString();
    EXPECT_EQ(pauses, c.pause ? std::vector<int>{200} : std::vector<int>{}) << c.bytes;
    EXPECT_TRUE(form->Timer1->Enabled());
  }
  // Parking copied the parking fields into the position fields.
  EXPECT_EQ(FieldAsInteger(form->PBNumEdit1), 270);
  EXPECT_EQ(FieldAsInteger(form->PBNumEdit2), 35);
}

TEST_F(Window, MoveWaitsTwoHundredMillisecondsAndPollRestartsAFullPeriodLater) {
  StartUnit();
  SetConfig(CrLf({"1", "EN", "500", "10", "0", "0", "1", "50", "50"}));
  Create();
  PauseForReal();
  ASSERT_TRUE(RunEventsUntil([&] { return !Polls().empty(); }));

  // A stop: 200 ms on the user-interface thread, then the bytes; the poll
  // timer restarts only then.
  std::size_t before = Others().size();
  // Timed from before the click to the arrival: that span holds the one the
  // window keeps, whatever the delays on either side.
  const auto t0 = std::chrono::steady_clock::now();
  form->Button5->click();
  const CommandRecord stop = NextCommand(before);
  EXPECT_EQ(stop.bytes, "A\r");
  EXPECT_GE(stop.first - t0, 200ms);
  std::size_t polls = Polls().size();
  ASSERT_TRUE(RunEventsUntil([&] { return Polls().size() > polls; }));
  EXPECT_GE(Polls()[polls].first - t0, 700ms);

  // A turn: no pause, and still no poll for a full period after it.
  polls = Polls().size();
  before = Others().size();
  const auto t1 = std::chrono::steady_clock::now();
  form->Button11->click();
  EXPECT_EQ(NextCommand(before).bytes, "R\r");
  ASSERT_TRUE(RunEventsUntil([&] { return Polls().size() > polls; }));
  EXPECT_GE(Polls()[polls].first - t1, 500ms);
}

TEST_F(Window, CommandsWithThePortClosedSendNothingButRestartTheTimer) {
  StartUnit();
  SetConfig(CrLf({"33", "EN", "1000", "10", "0", "0", "1", "50", "50"}));
  Create();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Port COM33 cannot be opened!");
  EXPECT_EQ(boxes[0].title, "zelkor");
  EXPECT_FALSE(form->ApdComPort1.Open());
  EXPECT_FALSE(form->Timer1->Enabled());
  EXPECT_EQ(form->ComboBox1->currentIndex(), -1);
  EXPECT_EQ(form->ComboBox1->currentText(), "");
  EXPECT_EQ(form->ApdComPort1.ComNumber(), 33);

  form->Button5->click();
  EXPECT_EQ(pauses, std::vector<int>{200});
  EXPECT_TRUE(form->Timer1->Enabled());
  EXPECT_EQ(form->CommandBuffer[0], 'A');
  form->Timer1Timer(); // the poll sends nothing either, and raises nothing
  EXPECT_EQ(form->CommandBuffer[0], 'C');
  EXPECT_TRUE(Unit().commands().empty());
  EXPECT_EQ(boxes.size(), 1u);

  // Every gather now fails at the port number: nothing is saved and the
  // window does not close.
  const std::string saved = Config();
  EXPECT_FALSE(form->close());
  EXPECT_TRUE(form->isVisible());
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[1].text, QString::fromUtf8("'' ist kein gültiger Integerwert."));
  EXPECT_EQ(Config(), saved);
}

TEST_F(Window, TypingInThePortBoxReopensThePort) {
  StartUnit("COM1");
  StartUnit("COM2");
  SetConfig(CrLf({"1", "EN", "200", "10", "0", "0", "1", "50", "50"}));
  Create();
  ASSERT_TRUE(RunEventsUntil([&] { return !Polls(0).empty(); }));
  form->ApdComPort1.OnPortClose = [this](TApdCustomComPort &) { ++closes; };

  QLineEdit *edit = form->ComboBox1->lineEdit();
  edit->selectAll();
  QTest::keyClicks(edit, "2");
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(form->ApdComPort1.ComNumber(), 2);
  EXPECT_TRUE(form->ApdComPort1.Open());
  EXPECT_TRUE(form->Timer1->Enabled());
  EXPECT_EQ(Config().substr(0, 3), "2\r\n");
  ASSERT_TRUE(RunEventsUntil([&] { return !Polls(1).empty(); }));

  // A text that is no number: the message, the box back at "1", nothing saved.
  const std::string saved = Config();
  QTest::keyClicks(edit, "x");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Invalid entry \"2x\" !");
  EXPECT_EQ(form->ComboBox1->currentText(), "1");
  EXPECT_EQ(Config(), saved);
  EXPECT_EQ(form->ApdComPort1.ComNumber(), 2);
}

TEST_F(Window, PollRateChangeSavesAndKeepsThePortOpen) {
  StartUnit();
  SetConfig(CrLf({"1", "EN", "1000", "10", "0", "0", "1", "50", "50"}));
  Create();
  form->ApdComPort1.OnPortClose = [this](TApdCustomComPort &) { ++closes; };
  form->ComboBox3->setCurrentIndex(4); // the user picks "5000"
  EXPECT_EQ(form->Timer1->Interval(), 5000);
  EXPECT_EQ(Config(), CrLf({"1", "EN", "5000", "10", "0", "0", "1", "50", "50"}));
  EXPECT_EQ(closes, 0);
  EXPECT_TRUE(form->ApdComPort1.Open());

  form->ComboBox3->setEditText("fast");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Invalid entry \"fast\" !");
  EXPECT_EQ(form->ComboBox3->currentText(), "200");
  EXPECT_EQ(form->Timer1->Interval(), 5000);
}

TEST_F(Window, LeavingAParkingFieldSavesBothParkingPositions) {
  StartUnit();
  SetConfig(CrLf({"1", "EN", "1000", "10", "400", "20", "1", "50", "50"}));
  Create();
  // Values set by the program are not range-checked.
  EXPECT_EQ(FieldWidget(form->PBNumEdit3)->property("text").toString(), "400");
  form->activateWindow();
  ASSERT_TRUE(RunEventsUntil([&] { return form->isActiveWindow(); }));
  QWidget *park1 = FieldWidget(form->PBNumEdit3);
  park1->setFocus();
  ASSERT_TRUE(RunEventsUntil([&] { return park1->hasFocus(); }));
  static_cast<QLineEdit *>(park1)->setText("123");
  SetFieldValue(form->PBNumEdit4, 77);
  form->Button2->setFocus();
  ASSERT_TRUE(RunEventsUntil([&] {
    return Config() == CrLf({"1", "EN", "1000", "10", "123", "77", "1", "50", "50"});
  })) << Config();
  EXPECT_EQ(form->ParkPosition1, 123);
}

TEST_F(Window, CloseSavesTheWindowPositionAndExitEndsTheProgram) {
  StartUnit();
  SetConfig(CrLf({"1", "EN", "1000", "10", "0", "0", "1", "50", "50"}));
  Create();
  form->move(120, 80);
  EXPECT_TRUE(form->close());
  EXPECT_EQ(Config(), CrLf({"1", "EN", "1000", "10", "0", "0", "1", "120", "80"}));

  form->show();
  form->move(130, 90);
  form->Button1->click();
  EXPECT_FALSE(form->ApdComPort1.Open());
  EXPECT_FALSE(form->Timer1->Enabled());
  EXPECT_EQ(pauses, std::vector<int>{500});
  EXPECT_EQ(terminated, 1);
  form.reset(); // the window's end saves once more
  EXPECT_EQ(Config(), CrLf({"1", "EN", "1000", "10", "0", "0", "1", "130", "90"}));
}

TEST_F(Window, BusyPortGivesThePortMessage) {
  StartUnit();
  const int fd = ::open(Unit().devicePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  Create();
  ::close(fd);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Port COM1 cannot be opened!\n"
                           "Another program holds the device (ModemManager or brltty often take USB adapters).");
  EXPECT_FALSE(form->ApdComPort1.Open());
  EXPECT_FALSE(form->Timer1->Enabled());
}

// A device the user may not open: the message says how to get the right.
// As root the open is made as "nobody" (root may open anything).
TEST_F(Window, PortWithoutRightsNamesTheDialoutGroup) {
  StartUnit();
  SetConfig(CrLf({"1", "DE", "1000", "10", "0", "0", "1", "50", "50"}));
  const bool root = geteuid() == 0;
  if (root) {
    // The program's files must stay usable for that user.
    fs::permissions(dir, fs::perms::all);
    for (const auto &entry : fs::directory_iterator(dir))
      if (entry.is_regular_file())
        fs::permissions(entry.path(), fs::perms::all);
    ASSERT_EQ(seteuid(65534), 0);
  } else {
    fs::permissions(Unit().devicePath(), fs::perms::none);
  }
  Create();
  if (root) {
    ASSERT_EQ(seteuid(0), 0);
  }
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, QString::fromUtf8("Port COM1 kann nicht geöffnet werden!\n"
                                             "Keine Rechte am Gerät: den Benutzer zur Gruppe dialout "
                                             "hinzufügen und neu anmelden."));
  EXPECT_FALSE(form->ApdComPort1.Open());
  EXPECT_FALSE(form->Timer1->Enabled());
}

struct BrokenStart {
  const char *name;
  std::string config; // empty: no file
  bool removePicture;
  std::string picture; // replaces the picture when not empty
  const char *message;
};

TEST_F(Window, BrokenConfigurationStopsTheStart) {
  const BrokenStart cases[] = {
      {"non-numeric line", CrLf({"1", "DE", "abc", "10", "0", "0", "1", "50", "50"}), false, "",
       "'abc' ist kein gültiger Integerwert."},
      {"short file", CrLf({"1", "DE", "1000", "10", "0"}), false, "", "'' ist kein gültiger Integerwert."},
      {"missing picture", CrLf({"1", "DE", "1000", "10", "0", "0", "1", "50", "50"}), true, "",
       "Datei Windrose_AZ.jpg kann nicht geöffnet werden. No such file or directory."},
  };
  for (const BrokenStart &c : cases) {
    SCOPED_TRACE(c.name);
    StartUnit();
    SetConfig(c.config);
    if (c.removePicture)
      fs::remove(dir / "Windrose_AZ.jpg");
    Create();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, QString::fromUtf8(c.message));
    EXPECT_EQ(boxes[0].title, "zelkor");
    // Language not loaded (German would say "Ende"), port closed, no poll.
    EXPECT_EQ(form->Button1->text(), "Exit");
    EXPECT_FALSE(form->ApdComPort1.Open());
    EXPECT_FALSE(form->Timer1->Enabled());
    form.reset();
    units.clear();
    boxes.clear();
    fs::copy_file(DataDir() + "/Windrose_AZ.jpg", dir / "Windrose_AZ.jpg", fs::copy_options::overwrite_existing);
  }
}

TEST_F(Window, DamagedPictureKeepsTheBuiltInDial) {
  StartUnit();
  SetConfig(CrLf({"1", "EN", "1000", "10", "0", "0", "1", "50", "50"}));
  const std::string good = ReadFile(dir / "Windrose_AZ.jpg");
  WriteFile(dir / "Windrose_AZ.jpg", good.substr(0, 300));
  Create();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_TRUE(boxes[0].text.startsWith("JPEG-Fehler #")) << boxes[0].text.toStdString();
  EXPECT_EQ(form->Image1->Picture().pixel(2, 2), BuiltinAzimuthDial().pixel(2, 2));
  EXPECT_EQ(form->ApdComPort1.ComNumber(), 0); // not assigned
  EXPECT_FALSE(form->ApdComPort1.Open());
}

TEST_F(Window, PortZeroOffersTheSelectionDialog) {
  StartUnit();
  SetConfig(CrLf({"0", "EN", "1000", "10", "0", "0", "1", "50", "50"}));
  // pick: the port to choose in the dialog, or empty to cancel it.
  auto answerDialog = [](QObject *context, QString pick, std::shared_ptr<QStringList> offered) {
    QTimer::singleShot(0, context, [pick, offered] {
      RunEventsUntil([] { return QApplication::activeModalWidget() != nullptr; }, 5000ms);
      auto *dlg = qobject_cast<TComSelectForm *>(QApplication::activeModalWidget());
      if (dlg == nullptr)
        return;
      for (int i = 0; i < dlg->PortsComboBox->count(); ++i)
        offered->push_back(dlg->PortsComboBox->itemText(i));
      if (pick.isEmpty()) {
        dlg->reject();
        return;
      }
      dlg->PortsComboBox->setCurrentIndex(dlg->PortsComboBox->findText(pick + " - ", Qt::MatchStartsWith));
      dlg->OkBtn->click();
    });
  };

  {
    QObject context; // ends the pending call with this block
    auto offered = std::make_shared<QStringList>();
    answerDialog(&context, QString(), offered);
    Create();
    EXPECT_FALSE(offered->filter("COM1 - ").isEmpty()) << offered->join(' ').toStdString();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Port COM0 cannot be opened!");
    EXPECT_FALSE(form->ApdComPort1.Open());
    EXPECT_FALSE(form->Timer1->Enabled());
    EXPECT_EQ(form->ComboBox1->currentText(), "");
    form.reset();
    boxes.clear();
  }
  {
    QObject context;
    auto offered = std::make_shared<QStringList>();
    answerDialog(&context, "COM1", offered);
    Create();
    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(form->ApdComPort1.Open());
    EXPECT_EQ(form->ApdComPort1.ComNumber(), 1);
    EXPECT_EQ(form->PortNumber, 0); // the chosen port is not copied back
    EXPECT_TRUE(RunEventsUntil([&] { return !Polls().empty(); }));
  }
}

// ---------------------------------------------------------------- language

class Language : public Window {};

TEST_F(Language, LinesOfTheChosenLanguageOnly) {
  struct Case {
    const char *name;
    const char *code;
    std::string file;
    QString button1, group3, hint3;
  } cases[] = {
      {"German row", "DE", CrLf({"EN;02;Quit", "DE;02;Ende"}), "Ende", " 1", " 1"},
      {"any separators", "DE", CrLf({"DEx02yEnde", "DE 05 Hand"}), "Ende", "Hand 1", " 1"},
      {"case-sensitive code", "en", CrLf({"EN;02;Quit", "EN;05;Manual"}), "", " 1", " 1"},
      {"later line wins", "EN", CrLf({"EN;02;One", "EN;02;Two", "EN;07;Park"}), "Two", " 1", "Park 1"},
      {"entry outside the table", "EN", CrLf({"EN;-1;Minus", "EN;02;Go"}), "Go", " 1", " 1"},
      {"no line ending", "EN", "EN;05;Hand", "", "Hand 1", " 1"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    StartUnit();
    SetConfig(CrLf({"1", c.code, "1000", "10", "0", "0", "1", "50", "50"}));
    WriteFile(dir / "Zelkor_M_language.csv", c.file);
    Create();
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(form->Button1->text(), c.button1);
    EXPECT_EQ(form->GroupBox3->title(), c.group3);
    EXPECT_EQ(FieldWidget(form->PBNumEdit3)->toolTip(), c.hint3);
    for (const QString &t : form->LanguageTexts)
      EXPECT_NE(t, "Minus");
    form.reset();
    units.clear();
  }
}

TEST_F(Language, LongTextIsCutAt100Characters) {
  StartUnit();
  SetConfig(CrLf({"1", "EN", "1000", "10", "0", "0", "1", "50", "50"}));
  const std::string text(130, 'x');
  WriteFile(dir / "Zelkor_M_language.csv", CrLf({("EN;02;" + text).c_str()}));
  Create();
  EXPECT_EQ(form->LanguageTexts[2], QString(100, 'x'));
}

TEST_F(Language, MissingFileAndBadNumber) {
  StartUnit();
  SetConfig(CrLf({"1", "DE", "1000", "10", "0", "0", "1", "50", "50"}));
  fs::remove(dir / "Zelkor_M_language.csv");
  Create();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Language-file \"Zelkor_M_language.csv\" not found !");
  EXPECT_EQ(form->Button1->text(), "Exit");
  EXPECT_EQ(form->GroupBox3->title(), "Manual 1");
  // The port still opens.
  EXPECT_TRUE(form->ApdComPort1.Open());
  form.reset();
  units.clear();
  boxes.clear();

  StartUnit();
  WriteFile(dir / "Zelkor_M_language.csv", CrLf({"DE;02;Ende", "DE;xy;Kaputt"}));
  Create();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, QString::fromUtf8("'xy' ist kein gültiger Integerwert."));
  EXPECT_FALSE(form->ApdComPort1.Open());
  EXPECT_FALSE(form->Timer1->Enabled());
}

TEST_F(Language, ChangingTheLanguageKeepsTextsTheNewOneLacks) {
  StartUnit();
  SetConfig(CrLf({"1", "EN", "1000", "10", "0", "0", "1", "50", "50"}));
  WriteFile(dir / "Zelkor_M_language.csv",
            CrLf({"EN;02;Exit", "EN;07;Parking Position", "EN;08;Invalid entry", "FR;02;Quitter", "FR;05;Manuel"}));
  Create();
  form->ComboBox2->setEditText("FR");
  EXPECT_EQ(form->Button1->text(), "Quitter");
  EXPECT_EQ(form->GroupBox3->title(), "Manuel 1");
  EXPECT_EQ(FieldWidget(form->PBNumEdit3)->toolTip(), "Parking Position 1");
  EXPECT_EQ(Config().substr(0, 7), "1\r\nFR\r\n");

  form->ComboBox2->setEditText("XX");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Invalid entry \"XX\" !");
  EXPECT_EQ(form->ComboBox2->currentText(), "EN");
  EXPECT_EQ(Config().substr(0, 7), "1\r\nFR\r\n");
}

TEST_F(Language, UnknownCodeIsSavedAsTheBoxShowsIt) {
  StartUnit();
  SetConfig(CrLf({"1", "NL", "1000", "10", "0", "0", "1", "50", "50"}));
  Create();
  EXPECT_EQ(form->ComboBox2->currentText(), "Language");
  form->close();
  EXPECT_EQ(Config(), CrLf({"1", "Language", "1000", "10", "0", "0", "1", "50", "50"}));
}

} // namespace
