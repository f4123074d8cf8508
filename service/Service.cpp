#include "service/Service.h"

#include "controller/ExtraSettings.h"

#include "controller/ConfigFile.h"
#include "controller/PortTrouble.h"

#include <QDateTime>
#include <QHostAddress>
#include <cstdio>
#include <exception>
#include <filesystem>

void LogLine(const QString &text) {
  const QByteArray line =
      (QDateTime::currentDateTime().toString(Qt::ISODateWithMs) + QStringLiteral(" zelkord: ") + text + QChar('\n'))
          .toUtf8();
  // One write per line: lines of several threads never mix.
  std::fwrite(line.constData(), 1, std::size_t(line.size()), stderr);
  std::fflush(stderr);
}

ZelkorService::ZelkorService(const ServiceOptions &options) : options_(options) {
  connect(&controller_, &TRotorController::Lost, this, [this] {
    LogLine(
        QStringLiteral("%1 lost; trying again every %2 s").arg(PortName()).arg(TRotorController::ReconnectMs / 1000));
  });
  connect(&controller_, &TRotorController::Back, this,
          [this] { LogLine(QStringLiteral("%1 back, polling again").arg(PortName())); });
  connect(&controller_, &TRotorController::StallStopped, this, [] {
    LogLine(QStringLiteral("stall stop: the azimuth did not move for %1 s and was stopped")
                .arg(StallGuard::Window.count()));
  });
  connect(&controller_, &TRotorController::ElevationStallStopped, this, [] {
    LogLine(QStringLiteral("stall stop: the elevation did not move for %1 s and was stopped")
                .arg(StallGuard::Window.count()));
  });
  connect(&controller_, &TRotorController::Error, this,
          [](const QString &text) { LogLine(QStringLiteral("error: ") + text); });
}

ZelkorService::~ZelkorService() { Stop(); }

QString ZelkorService::PortName() const { return QStringLiteral("port COM%1").arg(controller_.Port.ComNumber()); }

int ZelkorService::Start() {
  RotorSettings settings;
  const std::string path = (std::filesystem::current_path() / ConfigFileName).string();
  if (const std::string why = ReadRotorSettings(path, settings); !why.empty())
    LogLine(QStringLiteral("%1; using the defaults").arg(QString::fromStdString(why)));
  controller_.SetPortNumber(settings.portNumber);
  controller_.SetPollInterval(settings.pollInterval);
  controller_.ParkPosition1 = settings.parkPosition1;
  controller_.ParkPosition2 = settings.parkPosition2;
  controller_.PollMode = 1;
  std::string rangeTrouble;
  controller_.AzimuthRange = LoadAzimuthRange(std::filesystem::current_path().string(), rangeTrouble);
  if (!rangeTrouble.empty())
    LogLine(QString::fromStdString(rangeTrouble));
  // A port that cannot be had for a reason that does not pass by itself
  // ends the service before any client comes; a device not there yet is
  // waited for, as one that goes away later is.
  try {
    controller_.OpenPort();
    LogLine(QStringLiteral("%1 opened, polling every %2 ms").arg(PortName()).arg(settings.pollInterval));
  } catch (const std::exception &e) {
    const QString message = QString::fromStdString(e.what());
    switch (TroubleOf(std::current_exception())) {
    case PortTrouble::Busy:
      LogLine(QStringLiteral("%1 is held by another program (the window, perhaps): %2; stop it and start again")
                  .arg(PortName(), message));
      return 1;
    case PortTrouble::NoRights:
      LogLine(QStringLiteral("%1: no rights on the device: %2; add the user to the dialout group")
                  .arg(PortName(), message));
      return 1;
    case PortTrouble::EmptySlot:
      LogLine(QStringLiteral("%1: no serial hardware behind it: %2; link COM%3 to the device, for example "
                             "ln -s /dev/ttyUSB0 COM%3")
                  .arg(PortName(), message)
                  .arg(controller_.Port.ComNumber()));
      return 1;
    case PortTrouble::Missing:
    case PortTrouble::Other:
      break;
    }
    LogLine(QStringLiteral("%1 cannot be opened: %2; trying again every %3 s")
                .arg(PortName(), message)
                .arg(TRotorController::ReconnectMs / 1000));
    controller_.ReconnectTimer->SetEnabled(true);
  }
  backend_ = std::make_unique<RotorBackend>(controller_, "zelkord");
  server_ = std::make_unique<NetServer>(*backend_);
  connect(server_.get(), &NetServer::ClientConnected, this,
          [](const QString &peer) { LogLine(QStringLiteral("client %1 connected").arg(peer)); });
  connect(server_.get(), &NetServer::ClientGone, this,
          [](const QString &peer) { LogLine(QStringLiteral("client %1 gone").arg(peer)); });
  const QString address = QString::fromStdString(options_.address);
  if (!server_->Listen(QHostAddress(address), options_.port)) {
    LogLine(
        QStringLiteral("cannot listen on %1 port %2: %3").arg(address).arg(options_.port).arg(server_->ErrorText()));
    return 1;
  }
  LogLine(QStringLiteral("serving network clients on %1 port %2").arg(address).arg(server_->Port()));
  return 0;
}

void ZelkorService::Stop() {
  if (stopped_)
    return;
  stopped_ = true;
  server_.reset(); // its clients' sessions refer to the backend
  backend_.reset();
  const bool wasOpen = controller_.Port.Open();
  try {
    controller_.ClosePort();
  } catch (const std::exception &e) {
    LogLine(QStringLiteral("error closing %1: %2").arg(PortName(), QString::fromStdString(e.what())));
    return;
  }
  if (wasOpen)
    LogLine(QStringLiteral("%1 closed").arg(PortName()));
}
