#pragma once
// zelkord: the controller on the serial line and its network clients, with
// one line on standard error for each thing that happens.
#include "controller/NetServer.h"
#include "controller/RotorBackend.h"
#include "controller/RotorController.h"
#include "service/ServiceOptions.h"

#include <QObject>
#include <QString>
#include <memory>

// One line: the local time to the millisecond, then the text.
void LogLine(const QString &text);

class ZelkorService : public QObject {
public:
  explicit ZelkorService(const ServiceOptions &options);
  ~ZelkorService() override;

  // Reads the settings, opens the port and starts serving. Returns 0 when
  // the service runs, else the exit status (the reason is logged).
  int Start();
  // Clients gone, port closed, poll stopped.
  void Stop();

  TRotorController &Controller() { return controller_; }

private:
  QString PortName() const;

  ServiceOptions options_;
  TRotorController controller_;
  std::unique_ptr<RotorBackend> backend_;
  std::unique_ptr<NetServer> server_;
  bool stopped_ = false;
};
