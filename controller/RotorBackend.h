#pragma once
// The controller as network clients see it: the position of the last fresh
// report and commands sent through the controller's queue, so no client
// ever blocks the thread the controller runs on.
#include "netctl/Session.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class TRotorController;

class RotorBackend : public netctl::Backend {
public:
  RotorBackend(TRotorController &controller, std::string info);
  ~RotorBackend() override;

  std::optional<netctl::Position> ReportedPosition() override;
  std::string Info() override { return info_; }
  void SetPosition(int az, int el, netctl::Done done) override;
  void Stop(netctl::Done done) override;
  void Park(netctl::Done done) override;
  void Move(netctl::Turn turn, netctl::Done done) override;

private:
  struct Target {
    int az, el;
    uint64_t commands; // the controller's commands once it went out
  };
  bool Repeats(int az, int el) const;
  // The answer to a queued command, dropped once this backend is gone.
  template <class F>
  auto WhileAlive(F f);

  TRotorController &controller_;
  std::string info_;
  std::optional<Target> lastTarget_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
