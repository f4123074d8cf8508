#include "portdialog/AdSelCom.h"

#include "comport/AdPort.h"

#include <QApplication>
#include <QComboBox>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QAbstractItemView>
#include <QScreen>
#include <memory>

#include <set>

#include "errors/AdExcept.h"
#include "platform/PlatformErrors.h"
#include "platform/SerialDevice.h"
#include "platform/SerialPorts.h"

namespace {

void Place(QWidget *w, int left, int top, int width, int height) { w->setGeometry(left, top, width, height); }

} // namespace

TComSelectForm::TComSelectForm(QWidget *owner) : QDialog(owner) {
  setObjectName("ComSelectForm");
  setWindowTitle("Select Port");
  // Dialog border with the system menu (and its close) as the only title-bar
  // button; the size is fixed.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setModal(true);
  setFixedSize(220, 131);

  QFont f("MS Sans Serif");
  f.setPixelSize(11);
  setFont(f);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, pal.color(QPalette::Button));
  pal.setColor(QPalette::WindowText, Qt::black);
  setPalette(pal);
  setAutoFillBackground(true);

  Bevel1 = new QFrame(this);
  Bevel1->setObjectName("Bevel1");
  Bevel1->setFrameShape(QFrame::Box);
  Bevel1->setFrameShadow(QFrame::Sunken);
  Place(Bevel1, 8, 8, 201, 42);

  Label1 = new QLabel("The configured serial port is not valid.", this);
  Label1->setObjectName("Label1");
  Place(Label1, 18, 14, 176, 13);
  Label2 = new QLabel("Please choose another port.", this);
  Label2->setObjectName("Label2");
  Place(Label2, 18, 30, 133, 13);

  PortsComboBox = new QComboBox(this);
  PortsComboBox->setObjectName("PortsComboBox");
  PortsComboBox->setEditable(false);
  Place(PortsComboBox, 8, 64, 201, 21);

  OkBtn = new QPushButton("OK", this);
  OkBtn->setObjectName("OkBtn");
  OkBtn->setDefault(true);
  Place(OkBtn, 8, 95, 85, 27);
  connect(OkBtn, &QPushButton::clicked, this, &TComSelectForm::OkClick);

  AbortBtn = new QPushButton("Cancel", this);
  AbortBtn->setObjectName("AbortBtn");
  Place(AbortBtn, 124, 95, 85, 27);
  connect(AbortBtn, &QPushButton::clicked, this, [this] { done(mrAbort); });

  setTabOrder(OkBtn, AbortBtn);
  setTabOrder(AbortBtn, PortsComboBox);
  OkBtn->setFocus();

  if (const QScreen *s = owner ? owner->screen() : QGuiApplication::primaryScreen()) {
    const QRect area = s->availableGeometry();
    move(area.center() - rect().center());
  }

  FormCreate();
}

namespace {

constexpr int kNumberRole = Qt::UserRole;
constexpr int kTargetRole = Qt::UserRole + 1;

QString Entry(int n, const std::string &what) {
  QString text = QString::asprintf("COM%d", n);
  if (!what.empty())
    text += QStringLiteral(" - ") + QString::fromStdString(what);
  return text;
}

} // namespace

void TComSelectForm::FormCreate() {
  const std::string dir = platform::StartDirectory();
  const std::vector<platform::TSerialPortInfo> found = platform::FindSerialPorts();
  std::set<dev_t> bound;
  for (int n = 1; n <= kLastPort; ++n) {
    if (const dev_t rdev = platform::PresentDeviceOf(platform::PortPath(n, dir)))
      bound.insert(rdev);
    if (IsPortPresent(n)) {
      PortsComboBox->addItem(Entry(n, platform::DescribePortNumber(n, dir, found)), n);
    }
  }
  for (const platform::TSerialPortInfo &f : found) {
    if (bound.count(f.Rdev) != 0)
      continue;
    PortsComboBox->addItem(QString::fromStdString(platform::DescribeSerialPort(f)), 0);
    PortsComboBox->setItemData(PortsComboBox->count() - 1, QString::fromStdString(f.LinkTarget()), kTargetRole);
    ++unbound_;
  }
  if (PortsComboBox->count() > 0)
    PortsComboBox->setCurrentIndex(0);
  // The entries are longer than the box: the list opens as wide as they are,
  // and the box's tip shows the whole of the chosen one.
  PortsComboBox->view()->setMinimumWidth(PortsComboBox->view()->sizeHintForColumn(0) + 8);
  auto tip = [this] { PortsComboBox->setToolTip(PortsComboBox->currentText()); };
  connect(PortsComboBox, &QComboBox::currentIndexChanged, this, tip);
  tip();
}

void TComSelectForm::OkClick() {
  const int index = PortsComboBox->currentIndex();
  if (index < 0 || PortsComboBox->itemData(index, kNumberRole).toInt() != 0) {
    done(mrOk);
    return;
  }
  const std::string dir = platform::StartDirectory();
  const int n = bindNumber_ != 0 ? bindNumber_ : platform::FreePortNumber(dir, kLastPort);
  const uint32_t err =
      n == 0 ? platform::kErrAccessDenied
             : platform::BindPortNumber(n, PortsComboBox->itemData(index, kTargetRole).toString().toStdString(), dir);
  if (err != 0) {
    // Said in the dialog's own two lines; the user may pick another entry.
    Label1->setText(n == 0 ? QStringLiteral("No port number is free for it.")
                           : QString::asprintf("COM%d cannot lead to it:", n));
    QString reason = QString::fromStdString(platform::PlatformErrorText(err)).trimmed();
    if (err == platform::kErrAccessDenied)
      reason = QStringLiteral("the number is in use.");
    Label2->setText(n == 0 ? QStringLiteral("Please choose a listed port.") : reason);
    Label2->setToolTip(reason);
    return;
  }
  PortsComboBox->setItemData(index, n, kNumberRole);
  PortsComboBox->setItemText(index, Entry(n, PortsComboBox->itemText(index).toStdString()));
  --unbound_;
  done(mrOk);
}

void TComSelectForm::reject() { done(mrCancel); }

int TComSelectForm::SelectedPortNumber() const {
  const int index = PortsComboBox->currentIndex();
  // With nothing listed there is no number to give: the caller gets the
  // no-port-selected error rather than a list-index failure.
  if (index < 0)
    throw ENoPortSelected();
  const int n = PortsComboBox->itemData(index, kNumberRole).toInt();
  if (n == 0)
    throw ENoPortSelected();
  return n;
}

bool TComSelectForm::IsPortPresent(int n) {
  if (n == 0)
    return false;
  // The same exclusive open the port uses, so "busy" and "missing" are told
  // apart exactly as an open of the port would tell them.
  platform::TSerialDevice device;
  const uint32_t err = device.Open(platform::PortDeviceName(n));
  if (err == 0) {
    device.Close();
    return true;
  }
  return err == platform::kErrAccessDenied;
}

void InstallPortDialog() {
  SetPortPrompt([]() -> int {
    if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
      return 0;
    // The dialog belongs to the application and is freed in every case.
    std::unique_ptr<TComSelectForm> form(new TComSelectForm(nullptr));
    if (form->exec() != TComSelectForm::mrOk)
      return 0;
    return form->SelectedPortNumber(); // no port listed: ENoPortSelected
  });
}

QString PortNumberTarget(int n) {
  const std::string dir = platform::StartDirectory();
  const std::string what = platform::DescribePortNumber(n, dir, platform::FindSerialPorts());
  return what.empty() ? QStringLiteral("no device at ") + QString::fromStdString(platform::PortPath(n, dir))
                      : QString::fromStdString(what);
}
