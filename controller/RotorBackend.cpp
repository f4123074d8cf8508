#include "controller/RotorBackend.h"

#include "controller/RotorController.h"

#include <QTimer>
#include <algorithm>
#include <chrono>
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
    : controller_(controller), info_(std::move(info)) {
  QObject::connect(&controller_, &TRotorController::Reported, &context_, [this] { AnswerReads(readId_); });
}

RotorBackend::~RotorBackend() {
  *alive_ = false;
  reads_.clear();
}

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

void RotorBackend::ReadPosition(std::function<void(std::optional<netctl::Position>)> done) {
  using namespace std::chrono;
  const auto opened = controller_.OpenedAt();
  const auto left =
      opened ? duration_cast<milliseconds>(*opened + FirstReadPeriods * milliseconds(controller_.PollInterval()) -
                                           TRotorController::Clock::now())
             : milliseconds(0);
  if (controller_.Fresh() || !controller_.Port.Open() || controller_.ReportedSinceOpen() || left.count() <= 0) {
    done(ReportedPosition());
    return;
  }
  const uint64_t id = ++readId_;
  reads_.push_back({id, std::move(done)});
  QTimer::singleShot(int(left.count()) + 1, Qt::PreciseTimer, &context_, [this, id] { AnswerReads(id); });
}

// Answers the waiting reads up to id, in the order they came.
void RotorBackend::AnswerReads(uint64_t upTo) {
  std::vector<Read> due;
  auto it = std::partition(reads_.begin(), reads_.end(), [upTo](const Read &r) { return r.id > upTo; });
  std::move(it, reads_.end(), std::back_inserter(due));
  reads_.erase(it, reads_.end());
  std::sort(due.begin(), due.end(), [](const Read &a, const Read &b) { return a.id < b.id; });
  for (Read &r : due)
    r.done(ReportedPosition());
}

int RotorBackend::AzimuthMax() { return controller_.AzimuthRange == 450 ? 450 : 360; }

// Where the unit already points, and it is going nowhere else.
bool RotorBackend::AlreadyAt(int az, int el) const {
  if (!controller_.Fresh() || controller_.Queued() != 0 || controller_.AzimuthGuard.Armed())
    return false;
  return AzimuthApart(az, controller_.Position1) <= DeadBand && std::abs(el - controller_.Position2) <= DeadBand;
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
  if (Repeats(az, el) || AlreadyAt(az, el)) {
    done(netctl::kOk);
    return;
  }
  lastTarget_ = Target{az, el, controller_.CommandsSent()};
  TRotorController::Command command;
  command.quiet = true;
  command.keepCadence = true;
  // The way round is chosen when the command becomes current, from the
  // position the unit reported last.
  auto wire = std::make_shared<int>(az);
  command.begin = [this, az, el, wire, alive = std::weak_ptr<bool>(alive_)] {
    if (alive.expired())
      return;
    *wire = ShortWayAzimuth(az, controller_.Position1, controller_.AzimuthRange == 450 ? 450 : 360);
    emit controller_.TargetTaken(*wire, el);
  };
  command.build = [this, az, el, wire, alive = std::weak_ptr<bool>(alive_)] {
    // Once more with the report that came during the quiet.
    if (!alive.expired())
      *wire = ShortWayAzimuth(az, controller_.Position1, controller_.AzimuthRange == 450 ? 450 : 360);
    return MoveBothCommand(*wire, el);
  };
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
  command.keepCadence = true;
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
  command.keepCadence = true;
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
  command.keepCadence = true;
  command.build = [direction] { return TurnCommand(direction); };
  command.done = WhileAlive([done = std::move(done)](TRotorController::Written w) { done(CodeOf(w)); });
  controller_.Queue(std::move(command));
}
