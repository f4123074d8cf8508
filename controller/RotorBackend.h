#pragma once
// The controller as network clients see it: the position of the last fresh
// report and commands sent through the controller's queue, so no client
// ever blocks the thread the controller runs on.
#include "netctl/Session.h"

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TRotorController;

class RotorBackend : public netctl::Backend {
public:
  RotorBackend(TRotorController &controller, std::string info);
  ~RotorBackend() override;

  // A target within this many degrees of where the unit is (and not on its
  // way elsewhere) is acknowledged without a command.
  static constexpr int DeadBand = 1;

  std::optional<netctl::Position> ReportedPosition() override;
  // Right after the port opened, waits for the first report, until
  // FirstReadPeriods poll periods after the open at most.
  void ReadPosition(std::function<void(std::optional<netctl::Position>)> done) override;
  static constexpr int FirstReadPeriods = 2;
  int AzimuthMax() override;
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
  bool AlreadyAt(int az, int el) const;
  void AnswerReads(uint64_t upTo);
  // The answer to a queued command, dropped once this backend is gone.
  template <class F>
  auto WhileAlive(F f);

  TRotorController &controller_;
  std::string info_;
  std::optional<Target> lastTarget_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  // Reads waiting for the first report; their timers and the controller's
  // signal end with this object.
  struct Read {
    uint64_t id;
    std::function<void(std::optional<netctl::Position>)> done;
  };
  std::vector<Read> reads_;
  uint64_t readId_ = 0;
  QObject context_;
};
