#include "controller/RotorController.h"

#include <algorithm>
#include <exception>
#include <string>
#include <string_view>
#include <utility>

TRotorController::TRotorController(QObject *parent) : QObject(parent) {
  PollTimer = new TTimer(this);
  PollTimer->SetEnabled(false);
  PollTimer->OnTimer = [this] { Poll(); };
  ReconnectTimer = new TTimer(this);
  ReconnectTimer->SetEnabled(false);
  ReconnectTimer->SetInterval(ReconnectMs);
  ReconnectTimer->OnTimer = [this] { Reconnect(); };
  quiet_.setSingleShot(true);
  quiet_.setTimerType(Qt::PreciseTimer);
  connect(&quiet_, &QTimer::timeout, this, [this] { StepQueue(); });
  catchUp_.setSingleShot(true);
  catchUp_.setTimerType(Qt::PreciseTimer);
  connect(&catchUp_, &QTimer::timeout, this, [this] { CatchUp(); });
  Port.SetBaud(9600);
  Port.OnTriggerAvail = [this](TApdCustomComPort &, uint16_t count) { ReceiveAvail(count); };
}

TRotorController::~TRotorController() {
  queue_.clear();
  quiet_.stop();
  catchUp_.stop();
  PollTimer->SetEnabled(false);
  ReconnectTimer->SetEnabled(false);
  Port.OnTriggerAvail = nullptr;
  try {
    Port.SetOpen(false);
  } catch (const std::exception &e) {
    ShowApplicationException(e);
  }
}

// ------------------------------------------------------------ the port

void TRotorController::SetPortNumber(int number) { Port.SetComNumber(static_cast<uint16_t>(number)); }

void TRotorController::OpenPort() {
  Replies = {};
  try {
    Port.SetOpen(true);
  } catch (...) {
    const std::exception_ptr error = std::current_exception();
    try {
      Port.SetOpen(false);
    } catch (...) {
    }
    PollTimer->SetEnabled(false);
    std::rethrow_exception(error);
  }
  openTime_ = Clock::now();
  PollTimer->SetEnabled(true);
}

void TRotorController::ClosePort() {
  ReconnectTimer->SetEnabled(false);
  HoldPoll();
  Port.SetOpen(false);
}

void TRotorController::SetPollInterval(int ms) { PollTimer->SetInterval(ms); }

bool TRotorController::Fresh() const {
  if (!Port.Open() || !LastReportTime || unansweredPolls_ >= StalePeriods)
    return false;
  const int period = PollTimer->Interval();
  if (period <= 0)
    return false;
  // Polls decide; time alone only where no poll could (the poll held long).
  return Clock::now() - *LastReportTime <= 2 * StalePeriods * std::chrono::milliseconds(period);
}

// ------------------------------------------------------------ the poll

void TRotorController::Poll() { SendPoll(); }

// True when the poll went out whole.
bool TRotorController::SendPoll() {
  // A device that went away ends the port's threads without raising
  // anything; polling on would show a position that is no longer read.
  if (Port.Open() && (Port.QueryLineError() == leDeviceLost || Port.DeviceLost())) {
    DeviceLost();
    return false;
  }
  const std::vector<uint8_t> bytes = PollCommand(PollMode);
  for (std::size_t i = 0; i < bytes.size(); ++i)
    CommandBuffer[i] = bytes[i];
  std::size_t written = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (!Port.Open())
      continue;
    try {
      if (Port.RTS()) {
        if (i == 0 && OnSend)
          OnSend(bytes);
        Port.WriteChar(static_cast<char>(CommandBuffer[i] & 0xFF));
        ++written;
      }
    } catch (...) {
      return false; // the next tick tries again
    }
  }
  if (written != bytes.size())
    return false;
  lastPoll_ = Clock::now();
  ++unansweredPolls_;
  return true;
}

// A poll is due within `ahead`.
bool TRotorController::PollDue(Clock::duration ahead) const {
  const int period = PollTimer->Interval();
  if (!Port.Open() || period <= 0)
    return false;
  return !lastPoll_ || Clock::now() + ahead - *lastPoll_ >= std::chrono::milliseconds(period);
}

// The poll a cadence-keeping command left due; the period runs on from it.
void TRotorController::CatchUp() {
  if (!queue_.empty() || !PollTimer->Enabled())
    return;
  SendPoll();
  if (WaitingForDevice())
    return; // the poll found the device gone: it stays off until it is back
  PollTimer->SetEnabled(false);
  PollTimer->SetEnabled(true);
}

// ------------------------------------------------------------ reports

void TRotorController::ReceiveAvail(uint16_t count) {
  // Look at what waits before taking any of it: a report may still be
  // arriving, or follow noise in the same delivery.
  std::string waiting(count, '\0');
  for (uint16_t i = 0; i < count; ++i)
    waiting[i] = static_cast<char>(Port.PeekChar(i + 1));
  std::size_t pos = 0;
  while (pos < waiting.size()) {
    const std::size_t take = Replies.NextLength(std::string_view(waiting).substr(pos));
    if (take == 0)
      break; // the rest waits and is announced again with the next bytes
    ReadPiece(take);
    pos += take;
  }
}

void TRotorController::ReadPiece(std::size_t count) {
  std::string bytes(count, '\0');
  for (std::size_t i = 0; i < count; ++i) {
    const int32_t b = static_cast<uint8_t>(Port.ReadChar());
    bytes[i] = static_cast<char>(b);
    if (i < FrameBuffer.size())
      FrameBuffer[i] = b;
  }
  const controller::Reply reply = Replies.Take(bytes);
  emit Traced(reply);
  if (reply.kind != controller::Reply::Kind::Report)
    return;
  if (reply.fixedForm) {
    // The 16-byte report is read from the frame as it always was.
    int32_t position1 = 0;
    int32_t position2 = 0;
    if (!ParseReport(FrameBuffer, position1, position2))
      return;
    TakeReport(position1, position2);
  } else {
    TakeReport(reply.azimuth, reply.elevation);
  }
}

void TRotorController::TakeReport(int32_t position1, std::optional<int32_t> position2) {
  Position1 = position1;
  ElevationKnown = position2.has_value();
  if (position2)
    Position2 = *position2;
  const Clock::time_point now = Clock::now();
  LastReportTime = now;
  unansweredPolls_ = 0;
  // Off while no reports come: a silence of the stale span starts afresh.
  const auto silence = StalePeriods * std::chrono::milliseconds(std::max(PollTimer->Interval(), 1));
  if (AzimuthGuard.Report(Position1, now, silence))
    QTimer::singleShot(0, this, [this] { StopStalledAzimuth(); });
  // Without an elevation in the report there is nothing to watch.
  if (!position2)
    ElevationGuard.Stop();
  else if (ElevationGuard.Report(Position2, now, silence))
    QTimer::singleShot(0, this, [this] { StopStalledElevation(); });
  emit Reported(Position1, Position2);
}

// ------------------------------------------------------------ commands

TRotorController::Written TRotorController::WriteCommand(const std::vector<uint8_t> &bytes) {
  const std::size_t n = std::min(bytes.size(), CommandBuffer.size());
  for (std::size_t i = 0; i < n; ++i)
    CommandBuffer[i] = bytes[i];
  bool whole = true;
  for (std::size_t i = 0; i < n; ++i) {
    if (!Port.Open()) {
      whole = false;
      continue;
    }
    // A device that went away during the quiet is named as such, not as
    // whatever the write happens to fail with.
    if (Port.DeviceLost()) {
      DeviceLost();
      return Written::DeviceLost;
    }
    if (i == 0 && OnSend)
      OnSend(bytes);
    try {
      Port.WriteChar(static_cast<char>(CommandBuffer[i] & 0xFF));
    } catch (...) {
      if (!Port.DeviceLost())
        throw;
      DeviceLost();
      return Written::DeviceLost;
    }
  }
  if (!whole)
    return Written::PortClosed;
  ++commandsSent_;
  CommandSent(bytes);
  return Written::Sent;
}

// The stall guard watches what the unit was asked to do.
void TRotorController::CommandSent(const std::vector<uint8_t> &bytes) {
  if (bytes.empty())
    return;
  switch (bytes[0]) {
  case 'M': // "M" ddd CR the azimuth, "MB" ddd CR the elevation
    if (bytes.size() == 5)
      AzimuthGuard.Move(ThreeDigitValue(bytes[1], bytes[2], bytes[3]));
    else if (bytes.size() == 6 && bytes[1] == 'B')
      ElevationGuard.Move(ThreeDigitValue(bytes[2], bytes[3], bytes[4]));
    break;
  case 'W':
    if (bytes.size() == 9) {
      AzimuthGuard.Move(ThreeDigitValue(bytes[1], bytes[2], bytes[3]));
      ElevationGuard.Move(ThreeDigitValue(bytes[5], bytes[6], bytes[7]));
    }
    break;
  case 'L':
  case 'R':
    AzimuthGuard.Turn();
    break;
  case 'U':
  case 'D':
    ElevationGuard.Turn();
    break;
  case 'A':
    AzimuthGuard.Stop();
    break;
  case 'E':
    ElevationGuard.Stop();
    break;
  case 'S':
    AzimuthGuard.Stop();
    ElevationGuard.Stop();
    break;
  default:
    break;
  }
}

void TRotorController::StopStalledAzimuth() {
  if (!Port.Open())
    return;
  Command stop;
  stop.quiet = true;
  stop.build = [] { return StopAxis1Command(); };
  stop.done = [this](Written written) {
    if (written == Written::Sent)
      emit StallStopped();
  };
  Queue(std::move(stop));
}

void TRotorController::StopStalledElevation() {
  if (!Port.Open())
    return;
  Command stop;
  stop.quiet = true;
  stop.build = [] { return StopAxis2Command(); };
  stop.done = [this](Written written) {
    if (written == Written::Sent)
      emit ElevationStallStopped();
  };
  Queue(std::move(stop));
}

// ------------------------------------------------------------ the queue

void TRotorController::Queue(Command command) {
  queue_.push_back(std::move(command));
  if (queue_.size() == 1)
    BeginQueued();
}

void TRotorController::BeginQueued() {
  HoldPoll();
  Command &current = queue_.front();
  // The poll goes now rather than fall due during the quiet, which then
  // leaves its report room to arrive before the command.
  if (current.keepCadence && PollDue(std::chrono::milliseconds(current.quiet ? QuietMs : 0)))
    SendPoll();
  if (current.begin)
    current.begin();
  quiet_.start(current.quiet ? QuietMs : 0);
}

void TRotorController::StepQueue() {
  if (queue_.empty())
    return;
  // Another command or a port change released the poll while we waited:
  // hold it again, and a move or stop waits its full quiet again.
  if (PollTimer->Enabled()) {
    HoldPoll();
    if (queue_.front().quiet) {
      quiet_.start(QuietMs);
      return;
    }
  }
  Command current = std::move(queue_.front());
  queue_.pop_front();
  const Written written = SendQueued(current);
  if (queue_.empty()) {
    // While the device is away the poll stays off until it is back.
    if (written != Written::DeviceLost && !WaitingForDevice()) {
      ReleasePoll();
      if (current.keepCadence && lastPoll_) {
        const auto due = *lastPoll_ + std::chrono::milliseconds(PollTimer->Interval()) - Clock::now();
        if (due < std::chrono::milliseconds(PollTimer->Interval()))
          catchUp_.start(
              int(std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(due).count())));
      }
    }
  } else {
    BeginQueued();
  }
  // Last: the answer may bring the next command straight back.
  if (current.done)
    current.done(written);
}

TRotorController::Written TRotorController::SendQueued(const Command &command) {
  if (!Port.Open())
    return Written::PortClosed;
  if (Port.DeviceLost()) {
    DeviceLost();
    return Written::DeviceLost;
  }
  try {
    return WriteCommand(command.build());
  } catch (const std::exception &e) {
    emit Error(QString::fromStdString(e.what()));
  } catch (...) {
    emit Error(QStringLiteral("the command could not be written"));
  }
  return Written::Failed;
}

// ------------------------------------------------------------ lost and back

void TRotorController::DeviceLost() {
  Port.SetOpen(false);
  HoldPoll();
  AzimuthGuard.Stop();
  ElevationGuard.Stop();
  ReconnectTimer->SetEnabled(true);
  emit Lost();
}

void TRotorController::Reconnect() {
  if (!Port.Open()) {
    Replies = {};
    try {
      Port.SetOpen(true);
    } catch (...) {
      // Still away: quietly, until the next try.
      try {
        Port.SetOpen(false);
      } catch (...) {
      }
      return;
    }
  }
  ReconnectTimer->SetEnabled(false);
  openTime_ = Clock::now();
  PollTimer->SetEnabled(true);
  emit Back();
}
