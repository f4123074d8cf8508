#include "portdialog/AdSelCom.h"

#include "comport/AdPort.h"

#include <QApplication>
#include <QComboBox>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <memory>

#include "errors/AdExcept.h"
#include "platform/PlatformErrors.h"
#include "platform/SerialDevice.h"
#include "runtime/SysUtils.h"

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
  connect(OkBtn, &QPushButton::clicked, this, [this] { done(mrOk); });

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

void TComSelectForm::FormCreate() {
  for (int n = 1; n <= kLastPort; ++n)
    if (IsPortPresent(n))
      PortsComboBox->addItem(QString::asprintf("COM%d", n));
  if (PortsComboBox->count() > 0)
    PortsComboBox->setCurrentIndex(0);
}

void TComSelectForm::reject() { done(mrCancel); }

int TComSelectForm::SelectedPortNumber() const {
  const int index = PortsComboBox->currentIndex();
  // With nothing listed there is no number to give: the caller gets the
  // no-port-selected error rather than a list-index failure.
  if (index < 0)
    throw ENoPortSelected();
  return StrToInt(PortsComboBox->itemText(index).mid(3).toStdString());
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
