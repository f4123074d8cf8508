#include "comport/MainThreadPump.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <atomic>
#include <memory>
#include <mutex>

#include "comport/OoMisc.h"
#include "platform/Messages.h"

namespace {

const QEvent::Type kPumpEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

class PumpObject : public QObject {
public:
  std::atomic<bool> scheduled{false};

  bool event(QEvent *e) override {
    if (e->type() != kPumpEvent)
      return QObject::event(e);
    scheduled.store(false);
    // One message per turn keeps Qt's own events flowing while a sender
    // keeps the queue busy; reschedule while more are waiting.
    if (platform::ProcessOneMessage() && platform::WaitForMessage(0))
      Schedule();
    return true;
  }

  void Schedule() {
    if (!scheduled.exchange(true))
      QCoreApplication::postEvent(this, new QEvent(kPumpEvent));
  }
};

// The hook runs on whichever thread queues a message; it reaches the pump
// object only under this lock, so uninstalling cannot pull it away mid-post.
struct Shared {
  std::mutex m;
  PumpObject *pump = nullptr;
};

std::shared_ptr<Shared> gShared;

} // namespace

void MainThreadPump::Install() {
  if (gShared)
    return;
  auto shared = std::make_shared<Shared>();
  shared->pump = new PumpObject;
  gShared = shared;
  platform::SetMessageArrivedHook([shared] {
    std::lock_guard<std::mutex> lk(shared->m);
    if (shared->pump)
      shared->pump->Schedule();
  });
  CreateExceptionRelay();
  if (platform::WaitForMessage(0))
    shared->pump->Schedule();
}

void MainThreadPump::Uninstall() {
  if (!gShared)
    return;
  platform::SetMessageArrivedHook({});
  DestroyExceptionRelay();
  PumpObject *pump;
  {
    std::lock_guard<std::mutex> lk(gShared->m);
    pump = gShared->pump;
    gShared->pump = nullptr;
  }
  delete pump;
  gShared.reset();
}

bool MainThreadPump::Installed() { return gShared != nullptr; }
