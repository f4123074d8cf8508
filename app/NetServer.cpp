#include "app/NetServer.h"

#include "app/Application.h"
#include "app/ProgramOptions.h"
#include "app/Unit1.h"

NetworkControl::NetworkControl(TForm1 &form)
    : rotator_(std::make_unique<RotorBackend>(form.Controller, form.windowTitle().toStdString())), server_(*rotator_) {}

NetworkControl::~NetworkControl() = default;

std::unique_ptr<NetworkControl> StartNetworkControl(TForm1 &form, const ProgramOptions &options) {
  if (!options.networkControl)
    return nullptr;
  auto control = std::make_unique<NetworkControl>(form);
  const QString address = QString::fromStdString(options.address);
  if (!control->Listen(QHostAddress(address), options.port)) {
    ShowErrorMessage(QStringLiteral("Network control cannot listen on %1 port %2: %3. The window runs without it.")
                         .arg(address)
                         .arg(options.port)
                         .arg(control->Server().ErrorText()));
    return nullptr;
  }
  return control;
}
