#include "comport/MainThreadPump.h"

#include <QObject>
#include <QSocketNotifier>

#include <memory>
#include <mutex>

#include "comport/OoMisc.h"
#include "platform/Messages.h"
#include "platform/Sync.h"

namespace {

// The loop is woken through an event handle watched by a socket notifier:
// the handle is signalled from whichever thread queues a message, and the
// hand-over goes through the kernel rather than through objects allocated on
// the sending thread.
class PumpObject : public QObject {
public:
  PumpObject() : notifier_(wake_.Handle(), QSocketNotifier::Read) {
    QObject::connect(&notifier_, &QSocketNotifier::activated, this, [this] { Turn(); });
  }

  void Schedule() { wake_.Set(); }

private:
  void Turn() {
    if (!wake_.TryConsume())
      return;
    // One message per turn keeps Qt's own events flowing while a sender
    // keeps the queue busy; signal again while more are waiting.
    if (platform::ProcessOneMessage() && platform::WaitForMessage(0))
      Schedule();
  }

  platform::TEvent wake_;
  QSocketNotifier notifier_;
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
