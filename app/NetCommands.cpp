#include "app/NetCommands.h"

#include "app/NumEditFields.h"
#include "app/RotorProtocol.h"
#include "app/Unit1.h"

#include <chrono>
#include <cstdlib>
#include <utility>

// ------------------------------------------------------------ queue

CommandQueue::CommandQueue(TForm1 &form) : form_(form) {
  timer_.setSingleShot(true);
  timer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer_, &QTimer::timeout, [this] { Step(); });
}

CommandQueue::~CommandQueue() {
  // The clients are gone by now; a command still waiting is dropped and
  // the poll given back.
  if (!items_.empty())
    form_.Timer1->SetEnabled(true);
}

void CommandQueue::Push(Item item) {
  items_.push_back(std::move(item));
  if (items_.size() == 1)
    Begin();
}

void CommandQueue::Begin() {
  form_.Timer1->SetEnabled(false);
  Item &item = items_.front();
  if (item.begin)
    item.begin();
  timer_.start(item.gap ? GapMs : 0);
}

void CommandQueue::Step() {
  if (items_.empty())
    return;
  // A button's command or a port change released the poll while we
  // waited: hold it again, and a move or stop waits its full quiet again.
  if (form_.Timer1->Enabled()) {
    form_.Timer1->SetEnabled(false);
    if (items_.front().gap) {
      timer_.start(GapMs);
      return;
    }
  }
  Item item = std::move(items_.front());
  items_.pop_front();
  const int code = Send(item);
  if (items_.empty())
    form_.Timer1->SetEnabled(true); // restarts the period: the next poll is a full one away
  else
    Begin();
  // Last: the reply may bring the client's next command straight back.
  if (item.done)
    item.done(code);
}

int CommandQueue::Send(const Item &item) {
  if (!form_.ApdComPort1.Open())
    return netctl::kTimeout;
  // The window says once that the device went away and waits for it.
  if (form_.ApdComPort1.DeviceLost()) {
    form_.DeviceLost();
    return netctl::kIoError;
  }
  try {
    const std::vector<uint8_t> bytes = item.build();
    for (std::size_t i = 0; i < bytes.size() && i < form_.CommandBuffer.size(); ++i)
      form_.CommandBuffer[i] = bytes[i];
    for (std::size_t i = 0; i < bytes.size() && i < form_.CommandBuffer.size(); ++i) {
      if (!form_.ApdComPort1.Open())
        continue;
      if (i == 0 && form_.OnSend)
        form_.OnSend(bytes);
      form_.ApdComPort1.WriteChar(static_cast<char>(form_.CommandBuffer[i] & 0xFF));
    }
    if (form_.ApdComPort1.Open())
      form_.CommandSent(bytes);
  } catch (...) {
    if (form_.ApdComPort1.DeviceLost())
      form_.DeviceLost();
    // The client hears of it; a modal box would stop every other client.
    return netctl::kIoError;
  }
  return netctl::kOk;
}

// ------------------------------------------------------------ the window

WindowRotator::WindowRotator(TForm1 &form) : form_(form), queue_(form) {}

std::optional<netctl::Position> WindowRotator::ReportedPosition() {
  if (!form_.ApdComPort1.Open() || !form_.LastReportTime)
    return std::nullopt;
  const int period = form_.Timer1->Interval();
  if (period <= 0)
    return std::nullopt;
  if (std::chrono::steady_clock::now() - *form_.LastReportTime > 3 * std::chrono::milliseconds(period))
    return std::nullopt;
  return netctl::Position{double(form_.Position1), double(form_.Position2)};
}

std::string WindowRotator::Info() { return form_.windowTitle().toStdString(); }

// Trackers resend their target every second; a rotator that restarts for
// every small change hunts.
bool WindowRotator::Repeats(int az, int el) const {
  if (!lastTarget_ || lastTarget_->windowCommands != form_.WindowCommands)
    return false;
  const int daz = std::abs(az - lastTarget_->az) % 360;
  return std::min(daz, 360 - daz) <= 1 && std::abs(el - lastTarget_->el) <= 1;
}

void WindowRotator::SetPosition(int az, int el, netctl::Done done) {
  if (!form_.ApdComPort1.Open()) {
    done(netctl::kTimeout);
    return;
  }
  if (Repeats(az, el)) {
    done(netctl::kOk);
    return;
  }
  lastTarget_ = Target{az, el, form_.WindowCommands};
  CommandQueue::Item item;
  item.gap = true;
  item.begin = [this, az, el] {
    SetFieldValue(form_.PBNumEdit1, az);
    SetFieldValue(form_.PBNumEdit2, el);
  };
  // From the request, not the fields: the pointer over the dial rewrites
  // the azimuth field as it moves.
  item.build = [az, el] { return MoveBothCommand(az, el); };
  item.done = [this, az, el, done = std::move(done)](int code) {
    if (lastTarget_ && lastTarget_->az == az && lastTarget_->el == el) {
      if (code == netctl::kOk)
        lastTarget_->windowCommands = form_.WindowCommands;
      else
        lastTarget_.reset();
    }
    done(code);
  };
  queue_.Push(std::move(item));
}

void WindowRotator::Stop(netctl::Done done) {
  if (!form_.ApdComPort1.Open()) {
    done(netctl::kTimeout);
    return;
  }
  lastTarget_.reset();
  queue_.Push({true, nullptr, [] { return std::vector<uint8_t>{'S', CR}; }, std::move(done)});
}

void WindowRotator::Park(netctl::Done done) {
  if (!form_.ApdComPort1.Open()) {
    done(netctl::kTimeout);
    return;
  }
  int32_t p1 = 0, p2 = 0;
  try {
    p1 = FieldAsInteger(form_.PBNumEdit3);
    p2 = FieldAsInteger(form_.PBNumEdit4);
  } catch (...) {
    done(netctl::kInvalid);
    return;
  }
  // A parking position is not range-checked (a file may hold 400), so it
  // is no base for skipping a later target.
  lastTarget_.reset();
  CommandQueue::Item item;
  item.gap = true;
  item.begin = [this, p1, p2] {
    SetFieldValue(form_.PBNumEdit1, p1);
    SetFieldValue(form_.PBNumEdit2, p2);
  };
  item.build = [p1, p2] { return MoveBothCommand(p1, p2); };
  item.done = std::move(done);
  queue_.Push(std::move(item));
}

void WindowRotator::Move(netctl::Turn turn, netctl::Done done) {
  if (!form_.ApdComPort1.Open()) {
    done(netctl::kTimeout);
    return;
  }
  lastTarget_.reset();
  uint8_t letter = 'L';
  switch (turn) {
  case netctl::Turn::Ccw:
    letter = 'L';
    break;
  case netctl::Turn::Cw:
    letter = 'R';
    break;
  case netctl::Turn::Up:
    letter = 'U';
    break;
  case netctl::Turn::Down:
    letter = 'D';
    break;
  }
  queue_.Push({false, nullptr, [letter] { return std::vector<uint8_t>{letter, CR}; }, std::move(done)});
}
