#pragma once
// The window as network clients see it: the position of the last report,
// and the window's own commands, sent under the buttons' rules (the poll
// held during the command, 200 ms of quiet before a move or stop, the next
// poll a full period later) without ever blocking the user-interface thread.
#include "netctl/Session.h"

#include <QTimer>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

class TForm1;

// Commands wait their turn here; timers replace the buttons' sleeps.
class CommandQueue {
public:
  static constexpr int GapMs = 200;

  struct Item {
    bool gap = false;                            // a move or a stop
    std::function<void()> begin;                 // when it becomes current
    std::function<std::vector<uint8_t>()> build; // its bytes, after the gap
    netctl::Done done;                           // the reply code
  };

  explicit CommandQueue(TForm1 &form);
  ~CommandQueue();
  CommandQueue(const CommandQueue &) = delete;
  CommandQueue &operator=(const CommandQueue &) = delete;

  void Push(Item item);
  // Commands not yet sent, the current one included.
  std::size_t Waiting() const { return items_.size(); }

private:
  void Begin();
  void Step();
  int Send(const Item &item);

  TForm1 &form_;
  std::deque<Item> items_;
  QTimer timer_;
};

class WindowRotator : public netctl::Backend {
public:
  explicit WindowRotator(TForm1 &form);

  std::optional<netctl::Position> ReportedPosition() override;
  std::string Info() override;
  void SetPosition(int az, int el, netctl::Done done) override;
  void Stop(netctl::Done done) override;
  void Park(netctl::Done done) override;
  void Move(netctl::Turn turn, netctl::Done done) override;

  const CommandQueue &Queue() const { return queue_; }

private:
  struct Target {
    int az, el;
    uint64_t windowCommands; // the window's own commands when it went out
  };
  bool Repeats(int az, int el) const;

  TForm1 &form_;
  CommandQueue queue_;
  std::optional<Target> lastTarget_;
};
