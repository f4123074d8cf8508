#include "controller/ProcessSetup.h"

#include "comport/MainThreadPump.h"

#include <utility>

TControllerProcess::TControllerProcess(std::function<void(const std::exception &)> display) {
  SetApplicationExceptionDisplay(std::move(display));
  MainThreadPump::Install();
}

TControllerProcess::~TControllerProcess() {
  MainThreadPump::Uninstall();
  SetApplicationExceptionDisplay(nullptr);
}
