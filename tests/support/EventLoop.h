#pragma once
// Waiting while the Qt event loop of the calling thread runs, for tests
// whose condition is brought about by that loop.
#include "tests/support/Wait.h"

#include <QCoreApplication>
#include <QTimer>

namespace support {

template <class Cond>
bool RunEventsUntil(Cond &&cond, std::chrono::milliseconds limit = kDeadline) {
  // Wakes the loop now and then, for conditions that no event announces.
  QTimer tick;
  tick.start(5);
  return WaitUntil(cond, limit, [] { QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents); });
}

// Runs the loop for a span, for checks that nothing goes wrong meanwhile.
inline void RunEventsFor(std::chrono::milliseconds span) {
  RunEventsUntil([] { return false; }, span);
}

} // namespace support
