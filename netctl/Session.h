#pragma once
// One network client: its lines in, its replies out, in order. A command
// that goes out to the unit holds the client's later lines until its reply
// is written, so replies never overtake each other.
#include "netctl/LineReader.h"
#include "netctl/Protocol.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace netctl {

// Receives the reply code of a command, exactly once, now or later.
using Done = std::function<void(int code)>;

struct Position {
  double az = 0;
  double el = 0;
};

// What the sessions drive: the rotator as the window sees it.
class Backend {
public:
  virtual ~Backend() = default;
  // The last reported position; empty when there is none recent enough.
  virtual std::optional<Position> ReportedPosition() = 0;
  // The position for a read, now or later (the first report may still be
  // on its way); done is called exactly once.
  virtual void ReadPosition(std::function<void(std::optional<Position>)> done) { done(ReportedPosition()); }
  // The highest azimuth a target may have (360, or 450 with overlap).
  virtual int AzimuthMax() { return 360; }
  // One line naming the controller.
  virtual std::string Info() = 0;
  // Targets in whole degrees, checked: azimuth -180..AzimuthMax(),
  // elevation 0..180.
  virtual void SetPosition(int az, int el, Done done) = 0;
  virtual void Stop(Done done) = 0;
  virtual void Park(Done done) = 0;
  virtual void Move(Turn turn, Done done) = 0;
};

class Session {
public:
  struct Output {
    std::function<void(const std::string &reply)> send; // one whole reply
    std::function<void()> close;                        // the client sent "q"
    std::function<void()> resume;                       // a held reply went out
  };

  Session(Backend &backend, Output output);
  ~Session();
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  // Takes bytes from the client and returns how many it used. It stops
  // after a line whose command waits for the unit: offer the rest again
  // once resume was called. After "q" everything is used and ignored.
  std::size_t Receive(std::string_view bytes);

  bool Busy() const { return busy_; }
  bool Closed() const { return closed_; }
  // Bytes of an unfinished line held.
  std::size_t Held() const { return reader_.Held(); }

private:
  void Handle(const std::string &line, bool overlong);
  Done Reply(Request request);
  // Holds the client's later lines until the answer is given.
  std::function<void(int code, const std::vector<Field> &fields)> Answer(Request request);
  void Finish(const Request &request, int code, const std::vector<Field> &fields = {});

  Backend &backend_;
  Output output_;
  LineReader reader_;
  bool busy_ = false;
  bool closed_ = false;
  bool receiving_ = false;
  uint64_t command_ = 0;
  // Replies that arrive after the client left go nowhere.
  std::shared_ptr<Session *> self_;
};

} // namespace netctl
