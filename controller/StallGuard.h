#pragma once
// Watches one axis's reported position after a move, park or turn: a rotator
// that is told to move but does not (ice, a jammed brake, a broken cable)
// must not be driven forever. Pure logic on the times it is given.
#include <chrono>
#include <cstdint>
#include <optional>

class StallGuard {
public:
  using Clock = std::chrono::steady_clock;

  // Less change than this, for this long, is no movement.
  static constexpr int32_t MinProgressDegrees = 2;
  static constexpr std::chrono::seconds Window{10};
  // A move this close to its target has arrived.
  static constexpr int32_t ArrivedDegrees = 2;

  void Move(int32_t target) { Arm(Mode::Move, target); }
  void Turn() { Arm(Mode::Turn, 0); }
  void Stop() { mode_ = Mode::Off; }
  bool Armed() const { return mode_ != Mode::Off; }

  // A report came at `now`. Returns true, once, when the axis must be
  // stopped. A silence longer than `silence` (no reports: the lost-device
  // case) starts the watch afresh with the next report.
  bool Report(int32_t position, Clock::time_point now, Clock::duration silence);

private:
  enum class Mode { Off, Move, Turn };
  void Arm(Mode mode, int32_t target);

  Mode mode_ = Mode::Off;
  int32_t target_ = 0;
  std::optional<int32_t> since_; // the position the watch measures from
  Clock::time_point sinceTime_{};
  Clock::time_point lastReport_{};
};
