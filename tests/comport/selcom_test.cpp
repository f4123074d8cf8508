// The port selection dialog on pseudo-terminals named COMn in a start
// directory: which ports it lists, what it gives back, and that it leaves
// no device open.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QKeyEvent>
#include <QLabel>
#include <QTimer>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "comport/AdPort.h"
#include "portdialog/AdSelCom.h"
#include "errors/AdExcept.h"
#include "platform/SerialDevice.h"
#include "tests/comport/PortDir.h"
#include "tests/support/FakeSerialTree.h"
#include "tests/support/Wait.h"

namespace fs = std::filesystem;

namespace {

QApplication &App() {
  static int argc = 1;
  static char name[] = "selcom_test";
  static char *argv[] = {name, nullptr};
  // Never destroyed: Qt's own statics may be gone by the time a static
  // application object would be.
  static QApplication *app = [] {
    auto *a = new QApplication(argc, argv);
    InstallPortDialog();
    return a;
  }();
  return *app;
}

void Key(QWidget *w, int key) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
  QApplication::sendEvent(w, &press);
}

// Devices open in this process (character devices: terminals and the
// like). Other descriptors come and go with the toolkit's fonts.
int OpenDevices() {
  int n = 0;
  for (const auto &e : std::filesystem::directory_iterator("/proc/self/fd")) {
    struct stat st {};
    if (stat(e.path().c_str(), &st) == 0 && S_ISCHR(st.st_mode))
      ++n;
  }
  return n;
}

// The entries' port numbers ("COM3" of "COM3 - what it is").
QStringList Entries(const TComSelectForm &f) {
  QStringList l;
  for (int i = 0; i < f.PortsComboBox->count(); ++i)
    l << f.PortsComboBox->itemText(i).section(QStringLiteral(" - "), 0, 0);
  return l;
}

QStringList Texts(const TComSelectForm &f) {
  QStringList l;
  for (int i = 0; i < f.PortsComboBox->count(); ++i)
    l << f.PortsComboBox->itemText(i);
  return l;
}

} // namespace

TEST(ComSelectForm, ListsPresentAndBusyPortsInOrder) {
  App();
  testpty::PortDir dir;
  dir.AddPty(1);
  dir.AddPty(2);
  dir.AddPty(3);
  dir.AddPty(51); // beyond the candidates
  // COM2 is held by another program.
  const int holder = open(dir.Slave(2).c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  dir.Activate();

  const int devicesBefore = OpenDevices();
  TComSelectForm form;
  EXPECT_EQ(Entries(form), (QStringList{"COM1", "COM2", "COM3"}));
  EXPECT_EQ(form.PortsComboBox->currentIndex(), 0);
  EXPECT_EQ(form.SelectedPortNumber(), 1);
  // Every device tried is closed again before the dialog shows.
  EXPECT_EQ(OpenDevices(), devicesBefore);
  for (int n : {1, 3, 51})
    EXPECT_TRUE(testpty::Lockable(dir.Slave(n))) << n;
  close(holder);
  EXPECT_TRUE(testpty::Lockable(dir.Slave(2)));
}

TEST(ComSelectForm, PresenceTest) {
  App();
  testpty::PortDir dir;
  dir.AddPty(7);
  dir.AddPty(8);
  dir.AddFile(9); // a plain file is no terminal
  const int holder = open(dir.Slave(8).c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  dir.Activate();
  const std::map<int, bool> expected = {{0, false}, {6, false}, {7, true}, {8, true}, {9, false}};
  for (auto [n, present] : expected)
    EXPECT_EQ(TComSelectForm::IsPortPresent(n), present) << "COM" << n;
  close(holder);
  EXPECT_TRUE(testpty::Lockable(dir.Slave(7)));
}

TEST(ComSelectForm, SelectedNumberAndResults) {
  App();
  testpty::PortDir dir;
  dir.AddPty(4);
  dir.AddPty(12);
  dir.Activate();

  struct Case {
    const char *what;
    std::function<void(TComSelectForm &)> act;
    int result;
  };
  const Case cases[] = {
      {"OK", [](TComSelectForm &f) { f.OkBtn->click(); }, TComSelectForm::mrOk},
      {"Enter", [](TComSelectForm &f) { Key(&f, Qt::Key_Return); }, TComSelectForm::mrOk},
      {"Cancel", [](TComSelectForm &f) { f.AbortBtn->click(); }, TComSelectForm::mrAbort},
      {"close", [](TComSelectForm &f) { f.close(); }, TComSelectForm::mrCancel},
      {"Escape", [](TComSelectForm &f) { Key(&f, Qt::Key_Escape); }, TComSelectForm::mrCancel},
  };
  for (const Case &c : cases) {
    TComSelectForm form;
    ASSERT_EQ(Entries(form), (QStringList{"COM4", "COM12"}));
    form.PortsComboBox->setCurrentIndex(1);
    form.show();
    c.act(form);
    EXPECT_FALSE(form.isVisible()) << c.what;
    EXPECT_EQ(form.result(), c.result) << c.what;
    EXPECT_EQ(form.SelectedPortNumber(), 12) << c.what;
  }
}

TEST(ComSelectForm, NoPortListedGivesNoPortSelected) {
  App();
  testpty::PortDir dir;
  dir.Activate();
  TComSelectForm form;
  EXPECT_EQ(form.PortsComboBox->count(), 0);
  form.show();
  form.OkBtn->click();
  EXPECT_EQ(form.result(), TComSelectForm::mrOk);
  try {
    form.SelectedPortNumber();
    ADD_FAILURE() << "no exception";
  } catch (const ENoPortSelected &e) {
    EXPECT_EQ(e.ResultCode, -2011);
  }
}

// ---- Devices by name ----

namespace {

// Two adapters and a board in a fake tree; COM1 a pseudo-terminal of the
// test, COM3 the FTDI adapter by its by-id name, the rest unbound.
struct Devices {
  Devices() {
    tree.AddUsb({.tty = "ttyUSB0",
                 .maker = "FTDI",
                 .model = "FT232R USB UART",
                 .serial = "A50285BI",
                 .byId = "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"});
    tree.AddUsb({.tty = "ttyUSB1",
                 .busPort = "1-3",
                 .maker = "Prolific",
                 .model = "USB-Serial Controller",
                 .byId = "usb-Prolific_USB-Serial_Controller-if00-port0"});
    tree.AddUsb({.tty = "ttyACM0", .busPort = "1-4", .maker = "Maker", .model = "Board"});
    dir.AddPty(1);
    std::filesystem::create_symlink(tree.Dev() / "serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0",
                                    std::filesystem::path(dir.Path()) / "COM3");
    dir.Activate(tree.Roots());
  }
  std::filesystem::path Com(int n) const { return std::filesystem::path(dir.Path()) / ("COM" + std::to_string(n)); }
  support::FakeSerialTree tree;
  testpty::PortDir dir;
};

int IndexOf(const TComSelectForm &f, const QString &start) {
  return f.PortsComboBox->findText(start, Qt::MatchStartsWith);
}

} // namespace

TEST(ComSelectForm, ListsWhereEachNumberLeadsThenTheUnboundDevices) {
  App();
  Devices d;
  const int devicesBefore = OpenDevices();
  TComSelectForm form;
  const QString pty = QString::fromStdString(std::filesystem::canonical(d.dir.Slave(1)).string());
  EXPECT_EQ(Texts(form), (QStringList{"COM1 - " + pty, "COM3 - FT232R USB UART by FTDI, no. A50285BI (ttyUSB0)",
                                      "USB-Serial Controller by Prolific (ttyUSB1)", "Board by Maker (ttyACM0)"}));
  EXPECT_EQ(form.UnboundCount(), 2);
  EXPECT_EQ(form.PortsComboBox->currentIndex(), 0);
  EXPECT_EQ(form.PortsComboBox->toolTip(), "COM1 - " + pty);
  EXPECT_EQ(OpenDevices(), devicesBefore);
  for (const char *tty : {"ttyUSB0", "ttyUSB1", "ttyACM0"})
    EXPECT_TRUE(testpty::Lockable(d.tree.Pty(tty).SlavePath())) << tty;
}

// OK on an unbound device makes the COMn link to its by-id name: the lowest
// free number, or the one asked for; the number comes back.
TEST(ComSelectForm, ChoosingAnUnboundDeviceBindsItToANumber) {
  App();
  struct Case {
    const char *what;
    QString entry;
    int bindNumber;
    int expected;
    std::string target;
  } const cases[] = {
      {"lowest free", "USB-Serial Controller", 0, 2, "serial/by-id/usb-Prolific_USB-Serial_Controller-if00-port0"},
      {"asked for", "USB-Serial Controller", 17, 17, "serial/by-id/usb-Prolific_USB-Serial_Controller-if00-port0"},
      {"no by-id name", "Board by Maker", 0, 2, "ttyACM0"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Devices d;
    TComSelectForm form;
    form.SetBindNumber(c.bindNumber);
    form.PortsComboBox->setCurrentIndex(IndexOf(form, c.entry));
    form.show();
    form.OkBtn->click();
    EXPECT_EQ(form.result(), TComSelectForm::mrOk);
    EXPECT_EQ(form.SelectedPortNumber(), c.expected);
    const std::filesystem::path link = d.Com(c.expected);
    ASSERT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(std::filesystem::read_symlink(link), d.tree.Dev() / c.target);
    EXPECT_TRUE(form.PortsComboBox->currentText().startsWith(QString::asprintf("COM%d - ", c.expected)))
        << form.PortsComboBox->currentText().toStdString();
    // The other links stay as they were.
    EXPECT_EQ(std::filesystem::read_symlink(d.Com(1)), d.dir.Slave(1));
    EXPECT_EQ(std::filesystem::read_symlink(d.Com(3)).filename(), "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
  }
}

// A number that leads to a present device is never taken over: the dialog
// says so and stays; anything but OK binds nothing.
TEST(ComSelectForm, BindingNeverReplacesAPresentDeviceAndOnlyOkBinds) {
  App();
  Devices d;
  {
    TComSelectForm form;
    form.SetBindNumber(3);
    form.PortsComboBox->setCurrentIndex(IndexOf(form, "USB-Serial Controller"));
    form.show();
    form.OkBtn->click();
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(form.Label1->text(), "COM3 cannot lead to it:");
    EXPECT_EQ(form.Label2->text(), "the number is in use.");
    EXPECT_EQ(std::filesystem::read_symlink(d.Com(3)).filename(), "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    EXPECT_THROW(form.SelectedPortNumber(), ENoPortSelected);
    // Another entry can still be taken.
    form.PortsComboBox->setCurrentIndex(IndexOf(form, "COM3 - "));
    form.OkBtn->click();
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.SelectedPortNumber(), 3);
  }
  {
    TComSelectForm form;
    form.PortsComboBox->setCurrentIndex(IndexOf(form, "Board by Maker"));
    form.show();
    form.AbortBtn->click();
    EXPECT_THROW(form.SelectedPortNumber(), ENoPortSelected);
    EXPECT_TRUE(std::filesystem::is_symlink(d.Com(2)));
    EXPECT_FALSE(std::filesystem::exists(d.Com(2))) << "COM2 was bound on Cancel";
  }
}

// ---- The component's prompt ----

namespace {

TComSelectForm *ShownForm() {
  for (QWidget *w : QApplication::topLevelWidgets())
    if (auto *f = qobject_cast<TComSelectForm *>(w); f && f->isVisible())
      return f;
  return nullptr;
}

int LiveForms() {
  int n = 0;
  for (QWidget *w : QApplication::topLevelWidgets())
    n += qobject_cast<TComSelectForm *>(w) != nullptr;
  return n;
}

// Acts on the dialog once the component shows it; past the deadline it
// closes it, so a test that went wrong fails instead of hanging.
class DialogAnswer {
public:
  explicit DialogAnswer(std::function<void(TComSelectForm &)> act) {
    const auto deadline = std::chrono::steady_clock::now() + support::kDeadline;
    QObject::connect(&timer_, &QTimer::timeout, [this, act, deadline] {
      if (TComSelectForm *f = ShownForm()) {
        timer_.stop();
        shown = true;
        act(*f);
      } else if (std::chrono::steady_clock::now() > deadline) {
        timer_.stop();
        if (QWidget *m = QApplication::activeModalWidget())
          m->close();
      }
    });
    timer_.start(5);
  }
  bool shown = false;

private:
  QTimer timer_;
};

} // namespace

TEST(PortPrompt, ChosenPortIsOpened) {
  App();
  testpty::PortDir dir;
  dir.AddPty(4);
  dir.AddPty(12);
  dir.Activate();
  TApdComPort port;
  DialogAnswer answer([](TComSelectForm &f) {
    f.PortsComboBox->setCurrentIndex(f.PortsComboBox->findText("COM12 - ", Qt::MatchStartsWith));
    f.OkBtn->click();
  });
  port.SetOpen(true);
  EXPECT_TRUE(answer.shown);
  EXPECT_EQ(port.ComNumber(), 12);
  EXPECT_TRUE(port.Open());
  ASSERT_NE(port.PortDispatcher(), nullptr);
  EXPECT_EQ(port.PortDispatcher()->GetDeviceName(), "\\\\.\\COM12");
  EXPECT_FALSE(testpty::Lockable(dir.Slave(12))) << "the port holds COM12";
  EXPECT_EQ(LiveForms(), 0);
  port.SetOpen(false);
  EXPECT_TRUE(testpty::Lockable(dir.Slave(12)));
}

TEST(PortPrompt, AnythingButOkFailsTheOpen) {
  App();
  struct Case {
    const char *what;
    bool withPorts;
    std::function<void(TComSelectForm &)> act;
  };
  const Case cases[] = {
      {"Cancel", true, [](TComSelectForm &f) { f.AbortBtn->click(); }},
      {"system menu", true, [](TComSelectForm &f) { f.close(); }},
      {"OK with nothing listed", false, [](TComSelectForm &f) { f.OkBtn->click(); }},
  };
  for (const Case &c : cases) {
    testpty::PortDir dir;
    if (c.withPorts)
      dir.AddPty(3);
    dir.Activate();
    TApdComPort port;
    int opened = 0;
    port.OnPortOpen = [&](TApdCustomComPort &) { ++opened; };
    DialogAnswer answer(c.act);
    EXPECT_THROW(port.SetOpen(true), ENoPortSelected) << c.what;
    EXPECT_TRUE(answer.shown) << c.what;
    EXPECT_EQ(port.ComNumber(), 0) << c.what;
    EXPECT_FALSE(port.Open()) << c.what;
    EXPECT_EQ(port.PortDispatcher(), nullptr) << c.what;
    EXPECT_EQ(opened, 0) << c.what;
    EXPECT_EQ(LiveForms(), 0) << c.what;
    if (c.withPorts) {
      EXPECT_TRUE(testpty::Lockable(dir.Slave(3))) << c.what;
    }
  }
}

// The component's prompt binds the device chosen and opens it: what the port
// writes arrives at that device.
TEST(PortPrompt, ChosenUnboundDeviceIsBoundAndOpened) {
  App();
  Devices d;
  TApdComPort port;
  DialogAnswer answer([](TComSelectForm &f) {
    f.PortsComboBox->setCurrentIndex(IndexOf(f, "USB-Serial Controller"));
    f.OkBtn->click();
  });
  port.SetOpen(true);
  EXPECT_TRUE(answer.shown);
  EXPECT_EQ(port.ComNumber(), 2);
  ASSERT_TRUE(port.Open());
  port.WriteChar('C');
  port.WriteChar('\r');
  EXPECT_EQ(d.tree.Pty("ttyUSB1").Receive(2), "C\r");
  EXPECT_FALSE(testpty::Lockable(d.tree.Pty("ttyUSB1").SlavePath()));
  port.SetOpen(false);
  EXPECT_EQ(LiveForms(), 0);
}
