// Choosing the adapter from the window: the dialog offered right after the
// port message when the port's device is missing and an adapter is present
// that no number leads to, the same dialog from the Comport box, and the
// box's tip. The adapter is the simulated unit behind a fake sysfs and /dev.
#include "WindowSupport.h"

#include "portdialog/AdSelCom.h"
#include "rotorsim/RotorSim.h"
#include "tests/support/FakeSerialTree.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>

namespace {

const char *const kById = "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
const char *const kAdapter = "FT232R USB UART by FTDI, no. A50285BI (ttyUSB0)";

// Answers the port dialog whenever it shows: records what it offers, then
// picks the entry starting with `pick` and presses OK, or cancels when
// `pick` is empty. A dialog never answered is closed at the deadline, so a
// test that went wrong fails instead of hanging.
class DialogAnswer {
public:
  explicit DialogAnswer(QString pick) {
    const auto deadline = std::chrono::steady_clock::now() + support::kDeadline * 3;
    QObject::connect(&timer_, &QTimer::timeout, [this, pick, deadline] {
      auto *dlg = qobject_cast<TComSelectForm *>(QApplication::activeModalWidget());
      if (dlg == nullptr) {
        if (std::chrono::steady_clock::now() > deadline)
          timer_.stop();
        return;
      }
      ++shown;
      offered.clear();
      for (int i = 0; i < dlg->PortsComboBox->count(); ++i)
        offered << dlg->PortsComboBox->itemText(i);
      if (pick.isEmpty()) {
        dlg->AbortBtn->click();
        return;
      }
      dlg->PortsComboBox->setCurrentIndex(dlg->PortsComboBox->findText(pick, Qt::MatchStartsWith));
      dlg->OkBtn->click();
    });
    timer_.start(5);
  }
  int shown = 0;
  QStringList offered;

private:
  QTimer timer_;
};

struct Pacing {
  const char *name;
  rotorsim::Delivery delivery;
  int chunkMs;
};
void PrintTo(const Pacing &p, std::ostream *os) { *os << p.name; }

// The simulated unit as a USB adapter: its device is the ttyUSB0 node of a
// fake tree, with the kernel's texts and a by-id name.
class Adapter : public WindowFixture {
public:
  explicit Adapter(Pacing pacing = {"line", rotorsim::Delivery::Line, 0}) {
    rotorsim::Options o;
    o.wire.delivery = pacing.delivery;
    o.wire.chunkPeriod = std::chrono::milliseconds(pacing.chunkMs);
    rotorsim::ServerOptions so;
    so.onCommand = [this](const rotorsim::CommandRecord &rec) {
      if (rec.command == rotorsim::Command::Poll) {
        std::lock_guard<std::mutex> lock(m_);
        ++polls_;
      }
    };
    unit = std::make_unique<rotorsim::PtyServer>(o, so);
    tree.AddUsb({.tty = "ttyUSB0",
                 .maker = "FTDI",
                 .model = "FT232R USB UART",
                 .serial = "A50285BI",
                 .byId = kById,
                 .nodeTarget = unit->devicePath()});
    // Every number leads nowhere until the test says otherwise, so no real
    // device of the machine takes part.
    for (int n = 1; n <= 50; ++n)
      fs::create_symlink(dir / "no-such-device", Com(n));
    platform::SetSerialRoots(tree.Roots());
  }
  fs::path Com(int n) const { return dir / ("COM" + std::to_string(n)); }
  int Polls() {
    std::lock_guard<std::mutex> lock(m_);
    return polls_;
  }

  support::FakeSerialTree tree;
  std::unique_ptr<rotorsim::PtyServer> unit;

private:
  std::mutex m_;
  int polls_ = 0;
};

class FirstStart : public ::testing::TestWithParam<Pacing> {};

// A first start on a machine whose COM1 leads nowhere, with an adapter
// plugged in: the port message as ever, then the dialog; the adapter chosen
// becomes COM1 by its by-id name, and the poll runs on it.
TEST_P(FirstStart, MissingCom1ToABoundAdapterAndPollsOnTheWire) {
  Adapter a(GetParam());
  DialogAnswer answer(kAdapter);
  a.Create();
  EXPECT_EQ(answer.shown, 1);
  EXPECT_EQ(answer.offered, QStringList{kAdapter});
  ASSERT_EQ(a.boxes.size(), 1u);
  EXPECT_EQ(a.boxes[0].text, "Port COM1 cannot be opened!");

  ASSERT_TRUE(fs::is_symlink(a.Com(1)));
  EXPECT_EQ(fs::read_symlink(a.Com(1)), a.tree.Dev() / "serial/by-id" / kById);
  EXPECT_TRUE(a.form->ApdComPort1.Open());
  EXPECT_EQ(a.form->ApdComPort1.ComNumber(), 1);
  EXPECT_TRUE(a.form->Timer1->Enabled());
  EXPECT_TRUE(a.Config().rfind("1\r\nEN\r\n", 0) == 0) << a.Config();
  EXPECT_TRUE(a.form->ComboBox1->toolTip().contains(QStringLiteral("COM1: ") + kAdapter))
      << a.form->ComboBox1->toolTip().toStdString();

  // Polls reach the unit and its answers are shown.
  a.form->Timer1->SetInterval(200);
  ASSERT_TRUE(RunEventsUntil([&] { return a.Polls() >= 2; }));
  ASSERT_TRUE(RunEventsUntil([&] { return a.form->NeedleShown(); }));
  EXPECT_EQ(a.form->Label6->text(), QString::fromUtf8("0°"));
  EXPECT_EQ(a.boxes.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Delivery, FirstStart,
                         ::testing::Values(Pacing{"line", rotorsim::Delivery::Line, 0},
                                           Pacing{"chunked16", rotorsim::Delivery::Chunked, 16}),
                         [](const auto &info) { return std::string(info.param.name); });

// The dialog comes only when the device is missing and there is something
// new to choose; a busy device or one bound already brings the message alone.
TEST(PortOffer, OnlyForAMissingDeviceWithAnUnboundOneToChoose) {
  // arrange gives back a descriptor to close at the end, or -1.
  struct Case {
    const char *name;
    std::function<int(Adapter &, std::unique_ptr<PtyPair> &)> arrange;
    int shown;
  } const cases[] = {
      {"missing, adapter unbound", [](Adapter &, std::unique_ptr<PtyPair> &) { return -1; }, 1},
      {"missing, adapter bound to COM2",
       [](Adapter &a, std::unique_ptr<PtyPair> &) {
         fs::remove(a.Com(2));
         fs::create_symlink(a.tree.Dev() / "serial/by-id" / kById, a.Com(2));
         return -1;
       },
       0},
      {"busy, adapter unbound",
       [](Adapter &a, std::unique_ptr<PtyPair> &held) {
         fs::remove(a.Com(1));
         held = std::make_unique<PtyPair>(a.Com(1));
         const int fd = open(held->SlavePath().c_str(), O_RDWR | O_NOCTTY);
         if (fd >= 0)
           flock(fd, LOCK_EX | LOCK_NB);
         return fd;
       },
       0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Adapter a;
    std::unique_ptr<PtyPair> held;
    const int holder = c.arrange(a, held);
    DialogAnswer answer{QString()}; // cancels it, should it come
    a.Create();
    if (holder >= 0)
      close(holder);
    EXPECT_EQ(answer.shown, c.shown);
    ASSERT_GE(a.boxes.size(), 1u);
    EXPECT_TRUE(a.boxes[0].text.startsWith("Port COM1 cannot be opened!")) << a.boxes[0].text.toStdString();
    EXPECT_FALSE(a.form->ApdComPort1.Open());
    EXPECT_FALSE(a.form->Timer1->Enabled());
    if (c.shown == 1) {
      // Cancelled: nothing bound, nothing more said.
      EXPECT_EQ(fs::read_symlink(a.Com(1)), a.dir / "no-such-device");
      EXPECT_EQ(a.boxes.size(), 1u);
    }
  }
}

// One step from the Comport box: the adapter chosen is bound to the lowest
// free number, which the box then shows, and the window polls there.
TEST(PortOffer, FromTheComportBoxToAnAdapter) {
  Adapter a;
  fs::remove(a.Com(1));
  auto com1 = std::make_unique<PtyPair>(a.Com(1));
  a.SetConfig(CrLf({"1", "EN", "200", "10", "0", "0", "1", "50", "50"}));
  a.Create();
  ASSERT_TRUE(a.form->ApdComPort1.Open());
  const QString pty = QString::fromStdString(fs::canonical(com1->SlavePath()).string());
  EXPECT_TRUE(a.form->ComboBox1->toolTip().contains("COM1: " + pty)) << a.form->ComboBox1->toolTip().toStdString();
  EXPECT_TRUE(a.form->ComboBox1->actions().contains(a.form->ChoosePortAction));

  DialogAnswer answer(kAdapter);
  a.form->ChoosePortAction->trigger();
  EXPECT_EQ(answer.shown, 1);
  EXPECT_EQ(answer.offered, (QStringList{"COM1 - " + pty, kAdapter}));
  EXPECT_EQ(fs::read_symlink(a.Com(2)), a.tree.Dev() / "serial/by-id" / kById);
  EXPECT_EQ(fs::read_symlink(a.Com(1)), com1->SlavePath());
  EXPECT_EQ(a.form->ComboBox1->currentText(), "2");
  EXPECT_EQ(a.form->ApdComPort1.ComNumber(), 2);
  EXPECT_TRUE(a.form->ApdComPort1.Open());
  EXPECT_TRUE(a.Config().rfind("2\r\n", 0) == 0) << a.Config();
  EXPECT_TRUE(a.form->ComboBox1->toolTip().contains(QStringLiteral("COM2: ") + kAdapter));
  ASSERT_TRUE(RunEventsUntil([&] { return a.Polls() >= 1; }));
  EXPECT_TRUE(a.boxes.empty());
}

} // namespace
