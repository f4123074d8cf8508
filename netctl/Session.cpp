#include "netctl/Session.h"

#include <utility>

namespace netctl {

Session::Session(Backend &backend, Output output)
    : backend_(backend), output_(std::move(output)), self_(std::make_shared<Session *>(this)) {}

Session::~Session() { *self_ = nullptr; }

std::size_t Session::Receive(std::string_view bytes) {
  const std::size_t total = bytes.size();
  if (closed_)
    return total;
  receiving_ = true;
  while (!busy_ && !closed_ && reader_.Take(bytes))
    Handle(reader_.line(), reader_.overlong());
  receiving_ = false;
  return closed_ ? total : total - bytes.size();
}

void Session::Handle(const std::string &line, bool overlong) {
  if (overlong) {
    output_.send(FormatReply(Request{}, kInvalid));
    return;
  }
  const Request req = ParseRequest(line);
  if (req.command == Command::Blank)
    return;
  if (req.command == Command::Quit) {
    closed_ = true;
    if (output_.close)
      output_.close();
    return;
  }
  if (req.error != kOk) {
    output_.send(FormatReply(req, req.error));
    return;
  }
  switch (req.command) {
  case Command::GetPos:
    backend_.ReadPosition([answer = Answer(req)](std::optional<Position> p) {
      if (p)
        answer(kOk, PositionFields(p->az, p->el));
      else
        answer(kTimeout, {});
    });
    return;
  case Command::GetInfo:
    output_.send(FormatReply(req, kOk, {{"Info", backend_.Info()}}));
    return;
  case Command::DumpState:
    output_.send(FormatReply(req, kOk, DumpStateFields(backend_.AzimuthMax(), req.separator != 0)));
    return;
  case Command::DumpCaps:
    output_.send(FormatReply(req, kOk, DumpCapsFields(backend_.Info(), backend_.AzimuthMax())));
    return;
  case Command::SetPos: {
    int az = 0, el = 0;
    if (!NormaliseTarget(req.az, req.el, backend_.AzimuthMax(), az, el)) {
      output_.send(FormatReply(req, kInvalid));
      return;
    }
    backend_.SetPosition(az, el, Reply(req));
    return;
  }
  case Command::Stop:
    backend_.Stop(Reply(req));
    return;
  case Command::Park:
    backend_.Park(Reply(req));
    return;
  case Command::Move:
    backend_.Move(req.turn, Reply(req));
    return;
  default:
    output_.send(FormatReply(req, kInvalid));
    return;
  }
}

Done Session::Reply(Request request) {
  return [answer = Answer(std::move(request))](int code) { answer(code, {}); };
}

std::function<void(int, const std::vector<Field> &)> Session::Answer(Request request) {
  busy_ = true;
  const uint64_t id = ++command_;
  std::weak_ptr<Session *> self = self_;
  return [self, id, request = std::move(request)](int code, const std::vector<Field> &fields) {
    const auto alive = self.lock();
    if (!alive || *alive == nullptr)
      return;
    Session &s = **alive;
    if (!s.busy_ || s.command_ != id)
      return; // answered already
    s.Finish(request, code, fields);
  };
}

void Session::Finish(const Request &request, int code, const std::vector<Field> &fields) {
  busy_ = false;
  output_.send(FormatReply(request, code, fields));
  // A reply given while the line is being handled needs no resume: the
  // loop in Receive goes on by itself.
  if (!receiving_ && output_.resume)
    output_.resume();
}

} // namespace netctl
