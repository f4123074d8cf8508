// The rotor's side of the window: the commands and the poll, and what the
// window does on its own when the device goes away or the rotator does not
// move.
#include "app/Unit1.h"

#include "app/Application.h"
#include "app/NumEditFields.h"
#include "app/RotorProtocol.h"
#include "dispatcher/AwConst.h"

#include <QLabel>
#include <QString>

// ------------------------------------------------------------ commands

void TForm1::SendCommand(const std::function<std::vector<uint8_t>()> &build, bool pause) {
  ++WindowCommands;
  Timer1->SetEnabled(false);
  if (pause)
    Pause(200);
  // Move commands read their fields only now, after the pause.
  const std::vector<uint8_t> bytes = build();
  for (std::size_t i = 0; i < bytes.size(); ++i)
    CommandBuffer[i] = bytes[i];
  bool sent = true;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (!ApdComPort1.Open()) {
      sent = false;
      continue;
    }
    // A device that went away during the pause is named as such, not as
    // whatever the write happens to fail with.
    if (ApdComPort1.DeviceLost()) {
      DeviceLost();
      return;
    }
    if (i == 0 && OnSend)
      OnSend(bytes);
    try {
      ApdComPort1.WriteChar(static_cast<char>(CommandBuffer[i] & 0xFF));
    } catch (...) {
      if (!ApdComPort1.DeviceLost())
        throw;
      DeviceLost();
      return;
    }
  }
  if (sent)
    CommandSent(bytes);
  Timer1->SetEnabled(true);
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

namespace {
std::function<std::vector<uint8_t>()> Fixed(std::vector<uint8_t> bytes) {
  return [bytes] { return bytes; };
}
} // namespace

void TForm1::Button2Click() { MoveAxis1(); }
void TForm1::Button3Click() { MoveAxis2(); }
void TForm1::Button4Click() { MoveBothAxes(); }
void TForm1::Button5Click() { SendCommand(Fixed({'A', CR}), true); }
void TForm1::Button6Click() { SendCommand(Fixed({'S', CR}), true); }
void TForm1::Button7Click() { SendCommand(Fixed({'E', CR}), true); }
void TForm1::Button9Click() { SendCommand(Fixed({'L', CR}), false); }
void TForm1::Button11Click() { SendCommand(Fixed({'R', CR}), false); }
void TForm1::Button12Click() { SendCommand(Fixed({'D', CR}), false); }
void TForm1::Button13Click() { SendCommand(Fixed({'U', CR}), false); }

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

void TForm1::Timer1Timer() {
  // A device that went away ends the port's threads without raising
  // anything; the window would go on showing a position that is no longer
  // read. Say so once, stop polling and wait for the device: the reconnect
  // timer reopens the port when it is back (or the user picks a port).
  if (ApdComPort1.Open() && (ApdComPort1.QueryLineError() == leDeviceLost || ApdComPort1.DeviceLost())) {
    DeviceLost();
    return;
  }
  const std::vector<uint8_t> bytes = PollCommand(PollMode);
  for (std::size_t i = 0; i < bytes.size(); ++i)
    CommandBuffer[i] = bytes[i];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (!ApdComPort1.Open())
      continue;
    try {
      if (!ApdComPort1.RTS())
        continue;
      if (i == 0 && OnSend)
        OnSend(bytes);
      ApdComPort1.WriteChar(static_cast<char>(CommandBuffer[i] & 0xFF));
    } catch (...) {
      return; // the next tick tries again
    }
  }
}

// ------------------------------------------------------------ lost device and stall

void TForm1::DeviceLost() {
  const QString &reason =
      LanguageTexts[lang::DeviceLost].isEmpty() ? LanguageTexts[lang::PortFailure] : LanguageTexts[lang::DeviceLost];
  ApdComPort1.SetOpen(false);
  Timer1->SetEnabled(false);
  AzimuthGuard.Stop();
  WaitForDevice(true);
  ShowErrorMessage(QStringLiteral("Port COM") + QString::number(PortNumber) + reason);
}

bool TForm1::WaitingForDevice() const { return ReconnectTimer->Enabled(); }

void TForm1::WaitForDevice(bool waiting) {
  Label6->setEnabled(!waiting);
  Label6->setToolTip(waiting ? QStringLiteral("waiting for COM") + QString::number(ApdComPort1.ComNumber())
                             : QString());
  ReconnectTimer->SetEnabled(waiting);
}

void TForm1::ReconnectTimerTimer() {
  if (!ApdComPort1.Open()) {
    Replies = {};
    try {
      ApdComPort1.SetOpen(true);
    } catch (...) {
      // Still away: quietly, until the next try.
      try {
        ApdComPort1.SetOpen(false);
      } catch (...) {
      }
      return;
    }
  }
  WaitForDevice(false);
  Timer1->SetEnabled(true);
}

void TForm1::CommandSent(const std::vector<uint8_t> &bytes) {
  if (bytes.empty())
    return;
  switch (bytes[0]) {
  case 'M': // "MB" moves the elevation
    if (bytes.size() == 5)
      AzimuthGuard.Move(ThreeDigitValue(bytes[1], bytes[2], bytes[3]));
    break;
  case 'W':
    if (bytes.size() == 9)
      AzimuthGuard.Move(ThreeDigitValue(bytes[1], bytes[2], bytes[3]));
    break;
  case 'L':
  case 'R':
    AzimuthGuard.Turn();
    break;
  case 'A':
  case 'S':
    AzimuthGuard.Stop();
    break;
  default:
    break;
  }
}

void TForm1::StopStalledAzimuth() {
  if (!ApdComPort1.Open())
    return;
  SendCommand(Fixed({'A', CR}), true);
  const QString text =
      LanguageTexts[lang::AzimuthStalled].isEmpty()
          ? QStringLiteral("Azimuth stopped: the rotator has not moved for %1 seconds.").arg(StallGuard::Window.count())
          : LanguageTexts[lang::AzimuthStalled];
  ShowErrorMessage(text);
}
