#include "controller/StallGuard.h"

#include <cstdlib>

void StallGuard::Arm(Mode mode, int32_t target) {
  mode_ = mode;
  target_ = target;
  since_.reset();
}

bool StallGuard::Report(int32_t position, Clock::time_point now, Clock::duration silence) {
  if (mode_ == Mode::Off)
    return false;
  if (mode_ == Mode::Move && std::abs(position - target_) <= ArrivedDegrees) {
    mode_ = Mode::Off;
    return false;
  }
  const bool fresh = !since_ || now - lastReport_ > silence;
  lastReport_ = now;
  if (fresh || std::abs(position - *since_) >= MinProgressDegrees) {
    since_ = position;
    sinceTime_ = now;
    return false;
  }
  if (now - sinceTime_ < Window)
    return false;
  mode_ = Mode::Off;
  return true;
}
