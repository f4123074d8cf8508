#include "controller/Timer.h"

#include "comport/OoMisc.h"

#include <stdexcept>

TTimer::TTimer(QObject *parent) : QObject(parent) {
  // A period is never cut short: after a command the next poll is a full
  // period away.
  timer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer_, &QTimer::timeout, this, [this] {
    if (!OnTimer)
      return;
    try {
      OnTimer();
    } catch (const std::exception &e) {
      ShowApplicationException(e);
    } catch (...) {
      ShowApplicationException(std::runtime_error("Unbekannter Fehler"));
    }
  });
  Update();
}

void TTimer::SetEnabled(bool value) {
  if (value == enabled_)
    return;
  enabled_ = value;
  Update();
}

void TTimer::SetInterval(int value) {
  if (value == interval_)
    return;
  interval_ = value;
  Update();
}

// Stopping and starting again restarts the period.
void TTimer::Update() {
  timer_.stop();
  if (enabled_ && interval_ > 0)
    timer_.start(interval_);
}
