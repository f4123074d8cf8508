#include "controller/RotorBackend.h"

#include "controller/RotorController.h"

#include <cstdlib>
#include <utility>

namespace {

int CodeOf(TRotorController::Written written) {
  switch (written) {
  case TRotorController::Written::Sent:
    return netctl::kOk;
  case TRotorController::Written::PortClosed:
    return netctl::kTimeout;
  case TRotorController::Written::DeviceLost:
  case TRotorController::Written::Failed:
    break;
  }
  return netctl::kIoError;
}

} // namespace

RotorBackend::RotorBackend(TRotorController &controller, std::string info)
    : controller_(controller), info_(std::move(info)) {}

RotorBackend::~RotorBackend() { *alive_ = false; }

template <class F>
auto RotorBackend::WhileAlive(F f) {
  return [alive = std::weak_ptr<bool>(alive_), f = std::move(f)](TRotorController::Written written) mutable {
    if (auto a = alive.lock(); a && *a)
      f(written);
  };
}

std::optional<netctl::Position> RotorBackend::ReportedPosition() {
  if (!controller_.Fresh())
    return std::nullopt;
  return netctl::Position{double(controller_.Position1), double(controller_.Position2)};
}

// Trackers resend their target every second; a rotator that restarts for
// every small change hunts.
bool RotorBackend::Repeats(int az, int el) const {
  if (!lastTarget_ || lastTarget_->commands != controller_.CommandsSent())
    return false;
  const int daz = std::abs(az - lastTarget_->az) % 360;
  return std::min(daz, 360 - daz) <= 1 && std::abs(el - lastTarget_->el) <= 1;
}

void RotorBackend::SetPosition(int az, int el, netctl::Done done) {
  if (!controller_.Port.Open()) {
    done(netctl::kTimeout);
    return;
  }
  if (Repeats(az, el)) {
    done(netctl::kOk);
    return;
  }
  lastTarget_ = Target{az, el, controller_.CommandsSent()};
  TRotorController::Command command;
  command.quiet = true;
  command.begin = [this, az, el, alive = std::weak_ptr<bool>(alive_)] {
    if (!alive.expired())
      emit controller_.TargetTaken(az, el);
  };
  command.build = [az, el] { return MoveBothCommand(az, el); };
  command.done = WhileAlive([this, az, el, done = std::move(done)](TRotorController::Written written) {
    const int code = CodeOf(written);
    if (lastTarget_ && lastTarget_->az == az && lastTarget_->el == el) {
      if (code == netctl::kOk)
        lastTarget_->commands = controller_.CommandsSent();
      else
        lastTarget_.reset();
    }
    done(code);
  });
  controller_.Queue(std::move(command));
}

void RotorBackend::Stop(netctl::Done done) {
  if (!controller_.Port.Open()) {
    done(netctl::kTimeout);
    return;
  }
  lastTarget_.reset();
  TRotorController::Command command;
  command.quiet = true;
  command.build = [] { return StopBothCommand(); };
  command.done = WhileAlive([done = std::move(done)](TRotorController::Written w) { done(CodeOf(w)); });
  controller_.Queue(std::move(command));
}

void RotorBackend::Park(netctl::Done done) {
  if (!controller_.Port.Open()) {
    done(netctl::kTimeout);
    return;
  }
  const int32_t p1 = controller_.ParkPosition1;
  const int32_t p2 = controller_.ParkPosition2;
  // A parking position is not range-checked (a file may hold 400), so it
  // is no base for skipping a later target.
  lastTarget_.reset();
  TRotorController::Command command;
  command.quiet = true;
  command.begin = [this, p1, p2, alive = std::weak_ptr<bool>(alive_)] {
    if (!alive.expired())
      emit controller_.TargetTaken(p1, p2);
  };
  command.build = [p1, p2] { return MoveBothCommand(p1, p2); };
  command.done = WhileAlive([done = std::move(done)](TRotorController::Written w) { done(CodeOf(w)); });
  controller_.Queue(std::move(command));
}

void RotorBackend::Move(netctl::Turn turn, netctl::Done done) {
  if (!controller_.Port.Open()) {
    done(netctl::kTimeout);
    return;
  }
  lastTarget_.reset();
  TurnDirection direction = TurnDirection::Ccw;
  switch (turn) {
  case netctl::Turn::Ccw:
    direction = TurnDirection::Ccw;
    break;
  case netctl::Turn::Cw:
    direction = TurnDirection::Cw;
    break;
  case netctl::Turn::Up:
    direction = TurnDirection::Up;
    break;
  case netctl::Turn::Down:
    direction = TurnDirection::Down;
    break;
  }
  TRotorController::Command command;
  command.build = [direction] { return TurnCommand(direction); };
  command.done = WhileAlive([done = std::move(done)](TRotorController::Written w) { done(CodeOf(w)); });
  controller_.Queue(std::move(command));
}
