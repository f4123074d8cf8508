// The port selection dialog on pseudo-terminals named COMn in a start
// directory: which ports it lists, what it gives back, and that it leaves
// no device open.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QKeyEvent>
#include <QTimer>

#include <fcntl.h>
#include <sys/file.h>
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
#include "tests/support/ProcessCounts.h"
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

QStringList Entries(const TComSelectForm &f) {
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

  const int fdsBefore = support::OpenDescriptors();
  TComSelectForm form;
  EXPECT_EQ(Entries(form), (QStringList{"COM1", "COM2", "COM3"}));
  EXPECT_EQ(form.PortsComboBox->currentIndex(), 0);
  EXPECT_EQ(form.SelectedPortNumber(), 1);
  // Every device tried is closed again before the dialog shows.
  EXPECT_EQ(support::OpenDescriptors(), fdsBefore);
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
    f.PortsComboBox->setCurrentIndex(f.PortsComboBox->findText("COM12"));
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
