// The buttons' commands, sent through the controller under its rules with
// the window's own blocking pause, and what the window shows when the
// device goes away or the rotator does not move.
#include "app/Unit1.h"

#include "app/Application.h"
#include "app/NumEditFields.h"
#include "app/ShownTexts.h"

#include <QLabel>
#include <QString>

// ------------------------------------------------------------ commands

void TForm1::SendCommand(const std::function<std::vector<uint8_t>()> &build, bool pause) {
  Controller.HoldPoll();
  if (pause)
    Pause(QuietMs);
  // Move commands read their fields only now, after the pause.
  const std::vector<uint8_t> bytes = build();
  // A write error other than a lost device reaches the error display and
  // leaves the poll held, as the rest of the command is not sent.
  if (Controller.WriteCommand(bytes) == TRotorController::Written::DeviceLost)
    return;
  Controller.ReleasePoll();
}

void TForm1::MoveAxis1() {
  SendCommand([this] { return MoveAxis1Command(FieldAsInteger(PBNumEdit1)); }, true);
}

void TForm1::MoveAxis2() {
  SendCommand([this] { return MoveAxis2Command(FieldAsInteger(PBNumEdit2)); }, true);
}

void TForm1::MoveBothAxes() {
  SendCommand([this] { return MoveBothCommand(FieldAsInteger(PBNumEdit1), FieldAsInteger(PBNumEdit2)); }, true);
}

void TForm1::Button2Click() { MoveAxis1(); }
void TForm1::Button3Click() { MoveAxis2(); }
void TForm1::Button4Click() { MoveBothAxes(); }
void TForm1::Button5Click() { SendCommand(StopAxis1Command, true); }
void TForm1::Button6Click() { SendCommand(StopBothCommand, true); }
void TForm1::Button7Click() { SendCommand(StopAxis2Command, true); }
void TForm1::Button9Click() {
  SendCommand([] { return TurnCommand(TurnDirection::Ccw); }, false);
}
void TForm1::Button11Click() {
  SendCommand([] { return TurnCommand(TurnDirection::Cw); }, false);
}
void TForm1::Button12Click() {
  SendCommand([] { return TurnCommand(TurnDirection::Down); }, false);
}
void TForm1::Button13Click() {
  SendCommand([] { return TurnCommand(TurnDirection::Up); }, false);
}

void TForm1::Button8Click() {
  SetFieldValue(PBNumEdit1, FieldAsInteger(PBNumEdit3));
  MoveAxis1();
}

void TForm1::Button14Click() {
  SetFieldValue(PBNumEdit2, FieldAsInteger(PBNumEdit4));
  MoveAxis2();
}

void TForm1::Button10Click() {
  SetFieldValue(PBNumEdit1, FieldAsInteger(PBNumEdit3));
  SetFieldValue(PBNumEdit2, FieldAsInteger(PBNumEdit4));
  MoveBothAxes();
}

void TForm1::Timer1Timer() { Controller.Poll(); }

// ------------------------------------------------------------ lost device and stall

void TForm1::DeviceLost() { Controller.DeviceLost(); }

// Said once; the label greys while the controller waits for the device.
void TForm1::DeviceGone() {
  const QString &reason =
      LanguageTexts[lang::DeviceLost].isEmpty() ? LanguageTexts[lang::PortFailure] : LanguageTexts[lang::DeviceLost];
  WaitForDevice(true);
  ShowErrorMessage(QStringLiteral("Port COM") + QString::number(PortNumber) + reason);
}

bool TForm1::WaitingForDevice() const { return Controller.WaitingForDevice(); }

void TForm1::WaitForDevice(bool waiting) {
  Label6->setEnabled(!waiting);
  Label7->setEnabled(!waiting);
  Label6->setToolTip(waiting ? QStringLiteral("waiting for COM") + QString::number(ApdComPort1.ComNumber())
                             : QString());
  if (!waiting)
    ReconnectTimer->SetEnabled(false);
}

void TForm1::ReconnectTimerTimer() { Controller.Reconnect(); }

void TForm1::StallMessage() {
  const QString text =
      LanguageTexts[lang::AzimuthStalled].isEmpty()
          ? QStringLiteral("Azimuth stopped: the rotator has not moved for %1 seconds.").arg(StallGuard::Window.count())
          : LanguageTexts[lang::AzimuthStalled];
  ShowErrorMessage(text);
}

void TForm1::ElevationStallMessage() {
  const QString text = LanguageTexts[lang::ElevationStalled].isEmpty()
                           ? QStringLiteral("Elevation stopped: the rotator has not moved for %1 seconds.")
                                 .arg(StallGuard::Window.count())
                           : LanguageTexts[lang::ElevationStalled];
  ShowErrorMessage(text);
}
