#pragma once
// The rotator controller without a window: the port to the control unit,
// the poll, the reports read from the line, the commands under their rules,
// the wait for a device that went away and the stall guard. Its users (the
// window, the service, network clients) are told what happens through
// signals. Everything here runs on the thread that created it, which needs
// a Qt event loop.
#include "comport/AdPort.h"
#include "controller/ReplyReader.h"
#include "controller/RotorProtocol.h"
#include "controller/StallGuard.h"
#include "controller/Timer.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

class TRotorController : public QObject {
  Q_OBJECT
public:
  using Clock = std::chrono::steady_clock;

  // A device that went away is tried again this often.
  static constexpr int ReconnectMs = 2000;

  explicit TRotorController(QObject *parent = nullptr);
  ~TRotorController() override;

  // ---- state
  TApdComPort Port;
  TTimer *PollTimer;
  TTimer *ReconnectTimer;
  StallGuard AzimuthGuard;
  StallGuard ElevationGuard;
  // 1: "C" CR, 2: "C" "2" CR.
  int32_t PollMode = 1;
  int32_t ParkPosition1 = 0;
  int32_t ParkPosition2 = 0;
  // The unit's azimuth travel: 360, or 450 for a unit with overlap.
  int32_t AzimuthRange = 360;
  // The command being sent, and the bytes of the last piece read.
  TCommandBuffer CommandBuffer{};
  TFrameBuffer FrameBuffer{};
  // Tells reports of every form from the unit's other replies; new for
  // every opening of the port.
  controller::ReplyReader Replies;
  // The last parsed report, and when it came.
  int32_t Position1 = 0;
  int32_t Position2 = 0;
  // Whether the last report carried an elevation; Position2 holds the
  // last one that did.
  bool ElevationKnown = false;
  std::optional<Clock::time_point> LastReportTime;

  // ---- the port
  // Sets the port number; a port that is open stays so until reopened.
  void SetPortNumber(int number);
  // Opens the port and starts the poll; raises what the open raised, with
  // the port closed and the poll off.
  void OpenPort();
  // Closes the port, stops the poll and ends a wait for the device.
  void ClosePort();
  void SetPollInterval(int ms);
  int PollInterval() const { return PollTimer->Interval(); }

  // ---- what the unit said
  // The last report while it is fresh: the port open and fewer than
  // StalePeriods polls sent since it without an answer. A report much older
  // than that many periods is not fresh either (the poll may be held).
  bool Fresh() const;
  // Polls written since the last report.
  int UnansweredPolls() const { return unansweredPolls_; }
  // When the port was last opened (or came back), and whether a report came
  // since: a read right after the open may wait for the first one.
  std::optional<Clock::time_point> OpenedAt() const { return openTime_; }
  bool ReportedSinceOpen() const { return LastReportTime && openTime_ && *LastReportTime >= *openTime_; }
  // When the last poll went out whole.
  std::optional<Clock::time_point> LastPollTime() const { return lastPoll_; }

  // ---- the send path, one for every command
  // A command begins: the poll is held so nothing comes between its bytes.
  void HoldPoll() {
    PollTimer->SetEnabled(false);
    catchUp_.stop();
  }
  // It ended: the poll runs again, its next tick a full period away.
  void ReleasePoll() { PollTimer->SetEnabled(true); }
  // Called as a command or a poll goes to the port, just before its first
  // byte: the moment the pauses and the poll period are kept, so tests time
  // those rules here rather than where the bytes arrive.
  std::function<void(const std::vector<uint8_t> &bytes)> OnSend;

  enum class Written { Sent, PortClosed, DeviceLost, Failed };
  // Writes the bytes through CommandBuffer while the port is open; a
  // device that went away is handled (DeviceLost) and said so; any other
  // write error is raised.
  Written WriteCommand(const std::vector<uint8_t> &bytes);
  // Commands that went out whole, from every user.
  uint64_t CommandsSent() const { return commandsSent_; }

  // A command sent without blocking: it waits its turn, the poll is held,
  // a move or stop gets its quiet, and done hears how it went.
  struct Command {
    bool quiet = false; // a move or a stop
    // Keeps the poll's cadence: a poll that falls due goes out before the
    // command's quiet, and the next one comes when due, not a full period
    // after the command. For clients that send a target every second.
    bool keepCadence = false;
    std::function<void()> begin;                 // when it becomes current
    std::function<std::vector<uint8_t>()> build; // its bytes, after the quiet
    std::function<void(Written)> done;
  };
  void Queue(Command command);
  // Commands not yet sent, the current one included.
  std::size_t Queued() const { return queue_.size(); }

  // ---- handlers
  // A tick of the poll.
  void Poll();
  // Count bytes wait in the port.
  void ReceiveAvail(uint16_t count);
  // A parsed report: the positions taken, the stall guards fed and
  // Reported said. A unit that reports no elevation gives none, which
  // keeps the elevation guard off.
  void TakeReport(int32_t position1, std::optional<int32_t> position2);
  // The device went away: the port closed, the poll off, tried again every
  // ReconnectMs until it is back or the port is closed.
  void DeviceLost();
  bool WaitingForDevice() const { return ReconnectTimer->Enabled(); }
  // A tick of the reconnect timer.
  void Reconnect();

signals:
  // A piece of the line was read (a report, noise, a command's answer).
  void Traced(const controller::Reply &reply);
  // A report was parsed into Position1 and Position2.
  void Reported(int position1, int position2);
  void Lost();
  void Back();
  // The stall guard stopped the azimuth.
  void StallStopped();
  // The stall guard stopped the elevation.
  void ElevationStallStopped();
  // A queued command failed for another reason than a lost device.
  void Error(const QString &text);
  // A network target became the current command.
  void TargetTaken(int position1, int position2);

private:
  void ReadPiece(std::size_t count);
  bool SendPoll();
  bool PollDue(Clock::duration ahead) const;
  void CatchUp();
  void CommandSent(const std::vector<uint8_t> &bytes);
  void StopStalledAzimuth();
  void StopStalledElevation();
  void BeginQueued();
  void StepQueue();
  Written SendQueued(const Command &command);

  uint64_t commandsSent_ = 0;
  std::deque<Command> queue_;
  QTimer quiet_;
  // The poll a cadence-keeping command owes once the queue is empty.
  QTimer catchUp_;
  std::optional<Clock::time_point> lastPoll_;
  std::optional<Clock::time_point> openTime_;
  int unansweredPolls_ = 0;
};
