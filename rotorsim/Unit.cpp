#include "rotorsim/RotorSim.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace rotorsim {

namespace {

// Longest command is 9 bytes; anything longer is junk and need not be kept.
constexpr size_t kMaxLine = 64;

bool threeDigits(std::string_view s, int &value) {
  if (s.size() != 3)
    return false;
  value = 0;
  for (char c : s) {
    if (c < '0' || c > '9')
      return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

// Parses one command (without its CR); out-of-range targets make it ignored.
void parse(CommandRecord &rec, int azMax) {
  std::string_view s = rec.bytes;
  if (!s.empty() && s.back() == '\r')
    s.remove_suffix(1);
  rec.command = Command::Ignored;
  int a = 0, e = 0;
  if (s.size() == 1) {
    switch (s[0]) {
    case 'C':
      rec.command = Command::Poll;
      break;
    case 'A':
      rec.command = Command::StopAz;
      break;
    case 'E':
      rec.command = Command::StopEl;
      break;
    case 'S':
      rec.command = Command::StopBoth;
      break;
    case 'L':
      rec.command = Command::TurnCcw;
      break;
    case 'R':
      rec.command = Command::TurnCw;
      break;
    case 'D':
      rec.command = Command::TurnDown;
      break;
    case 'U':
      rec.command = Command::TurnUp;
      break;
    default:
      break;
    }
  } else if (s == "C2") {
    rec.command = Command::PollBoth;
  } else if (s.size() == 4 && s[0] == 'M' && threeDigits(s.substr(1), a)) {
    if (a <= azMax) {
      rec.command = Command::MoveAz;
      rec.az = a;
    }
  } else if (s.size() == 5 && s.substr(0, 2) == "MB" && threeDigits(s.substr(2), e)) {
    if (e <= 180) {
      rec.command = Command::MoveEl;
      rec.el = e;
    }
  } else if (s.size() == 8 && s[0] == 'W' && s[4] == ' ' && threeDigits(s.substr(1, 3), a) &&
             threeDigits(s.substr(5, 3), e)) {
    if (a <= azMax && e <= 180) {
      rec.command = Command::MoveBoth;
      rec.az = a;
      rec.el = e;
    }
  }
}

} // namespace

// ----------------------------------------------------------------- clock

ManualClock::ManualClock(TimePoint start) : ticks_(start.time_since_epoch().count()) {}

TimePoint ManualClock::now() const { return TimePoint(Duration(ticks_.load())); }

void ManualClock::advance(Duration d) { ticks_.fetch_add(d.count()); }

void ManualClock::set(TimePoint t) { ticks_.store(t.time_since_epoch().count()); }

// ------------------------------------------------------------------ axis

double Unit::Axis::raw(TimePoint t) const {
  if (dir == 0)
    return from;
  double secs = std::max(0.0, std::chrono::duration<double>(t - since).count());
  double p = from + dir * speed * secs;
  return dir > 0 ? std::min(p, double(limit)) : std::max(p, double(limit));
}

int Unit::Axis::reported(TimePoint t) const {
  if (dir == 0)
    return int(std::lround(from));
  // The last whole degree passed: toward the start of the motion. The small
  // margin keeps exact arrivals (90.0 computed as 89.9999999) from lagging.
  double p = raw(t);
  int v = int(dir > 0 ? std::floor(p + 1e-6) : std::ceil(p - 1e-6));
  return std::clamp(v, min, max);
}

bool Unit::Axis::moving(TimePoint t) const { return dir != 0 && reported(t) != limit; }

void Unit::Axis::hold(TimePoint t) {
  from = reported(t);
  since = t;
  dir = 0;
}

void Unit::Axis::moveTo(int target, TimePoint t) {
  hold(t);
  limit = std::clamp(target, min, max);
  if (limit != int(from))
    dir = limit > from ? 1 : -1;
}

void Unit::Axis::turn(int direction, TimePoint t) {
  hold(t);
  limit = direction > 0 ? max : min;
  if (limit != int(from))
    dir = direction;
}

// ------------------------------------------------------------------ unit

Duration LineFormat::charTime() const {
  return std::chrono::duration_cast<Duration>(
      std::chrono::duration<double>(double(std::max(bitsPerChar, 1)) / std::max(baud, 1)));
}

Unit::Unit(const Options &options, TimePoint start)
    : options_(options), lastDue_(start), wireFree_(start), lastHandOver_(start), chunkPhase_(start),
      rng_(options.faults.seed) {
  if (options.wire.baud > 0)
    line_format_.baud = options.wire.baud;
  if (options.wire.delivery == Delivery::Chunked && options.wire.chunkPeriod > Duration::zero()) {
    // Its own generator, so the garbage bytes stay what the seed made them.
    std::mt19937 phase(options.faults.seed ^ 0x5bd1e995u);
    chunkPhase_ +=
        Duration(std::uniform_int_distribution<Duration::rep>(0, options.wire.chunkPeriod.count() - 1)(phase));
  }
  az_.speed = options.azSpeed;
  az_.min = 0;
  az_.max = options.azRange == 450 ? 450 : 360;
  az_.from = std::clamp(options.startAz, 0, az_.max);
  az_.since = start;
  el_.speed = options.elSpeed;
  el_.min = 0;
  el_.max = 180;
  el_.from = std::clamp(options.startEl, 0, 180);
  el_.since = start;
  double rate = options.faults.garbagePerSecond;
  if (rate > 0) {
    garbageStep_ = std::max<Duration>(Duration(1),
                                      std::chrono::duration_cast<Duration>(std::chrono::duration<double>(1.0 / rate)));
    garbageNext_ = start + garbageStep_;
  }
}

std::vector<CommandRecord> Unit::receive(std::string_view bytes, TimePoint at) {
  std::vector<CommandRecord> done;
  for (char ch : bytes) {
    received_.push_back({at, uint8_t(ch)});
    if (deafUntil_ && at < *deafUntil_)
      continue; // still starting up after a reset: the byte is lost
    if (!line_) {
      // Line ends of terminal programs (CR LF) and idle NULs start nothing.
      if (ch == '\n' || ch == '\0')
        continue;
      line_ = CommandRecord{at, at, {}, Command::Unfinished};
    }
    line_->last = at;
    if (ch == '\r') {
      line_->bytes += ch;
      finishLine(at, done);
    } else if (line_->bytes.size() < kMaxLine) {
      line_->bytes += ch;
    }
  }
  trim();
  return done;
}

void Unit::finishLine(TimePoint at, std::vector<CommandRecord> &done) {
  CommandRecord rec = std::move(*line_);
  line_.reset();
  parse(rec, az_.max);
  // A unit that has hung up acts on nothing more.
  if (rec.command != Command::Ignored && !hangUpAt_)
    act(rec, at);
  else if (!hangUpAt_ && rec.bytes != "\r")
    answer(rec.answer = unknownAnswer(options_.dialect), false, at);
  commands_.push_back(rec);
  done.push_back(std::move(rec));
}

void Unit::act(CommandRecord &rec, TimePoint at) {
  // A jammed rotator: the unit takes moves and turns, the jammed axes stay
  // put.
  const Faults &faults = options_.faults;
  auto jammed = [&](const Axis &axis) {
    if (!faults.stall)
      return false;
    switch (faults.stallAxis) {
    case StallAxis::Azimuth:
      return &axis == &az_;
    case StallAxis::Elevation:
      return &axis == &el_;
    case StallAxis::Both:
      break;
    }
    return true;
  };
  auto moveTo = [&](Axis &axis, int target) {
    if (!jammed(axis))
      axis.moveTo(target, at);
  };
  auto turn = [&](Axis &axis, int direction) {
    if (!jammed(axis))
      axis.turn(direction, at);
  };
  switch (rec.command) {
  case Command::Poll:
  case Command::PollBoth: {
    std::string text = pollAnswer(options_.dialect, rec.command == Command::PollBoth, position(at));
    if (options_.faults.leadingCr)
      text.insert(text.begin(), '\r');
    rec.answer = text;
    answer(std::move(text), true, at);
    break;
  }
  case Command::MoveAz:
    moveTo(az_, rec.az);
    break;
  case Command::MoveEl:
    moveTo(el_, rec.el);
    break;
  case Command::MoveBoth:
    moveTo(az_, rec.az);
    moveTo(el_, rec.el);
    break;
  case Command::StopAz:
    az_.hold(at);
    break;
  case Command::StopEl:
    el_.hold(at);
    break;
  case Command::StopBoth:
    az_.hold(at);
    el_.hold(at);
    break;
  case Command::TurnCcw:
    turn(az_, -1);
    break;
  case Command::TurnCw:
    turn(az_, 1);
    break;
  case Command::TurnDown:
    turn(el_, -1);
    break;
  case Command::TurnUp:
    turn(el_, 1);
    break;
  case Command::Ignored:
  case Command::Unfinished:
    return;
  }
  if (rec.command != Command::Poll && rec.command != Command::PollBoth)
    answer(rec.answer = commandAnswer(options_.dialect), false, at);
  ++handled_;
  const Faults &f = options_.faults;
  if (f.hangUpAfter > 0 && handled_ == f.hangUpAfter)
    hangUpAt_ = f.mute ? at : std::max(at, lastHandOver_);
}

void Unit::answer(std::string bytes, bool isReport, TimePoint at) {
  const Faults &f = options_.faults;
  if (f.mute || bytes.empty())
    return;
  // Answers leave in the order their commands came, never overtaking.
  TimePoint due = std::max(at + f.replyDelay, lastDue_);
  if (isReport && !f.splitSizes.empty()) {
    size_t pos = 0;
    for (int size : f.splitSizes) {
      if (pos >= bytes.size())
        break;
      size_t n = std::min(bytes.size() - pos, size_t(std::max(size, 1)));
      send(bytes.substr(pos, n), due);
      pos += n;
      due += f.splitPause;
    }
    if (pos < bytes.size())
      send(bytes.substr(pos), due);
    else
      due -= f.splitPause;
  } else {
    send(bytes, due);
  }
  lastDue_ = due;
}

void Unit::portOpened(TimePoint at) {
  const Duration silence = options_.openSilence.value_or(openSilence(options_.dialect));
  const std::string banner = openBanner(options_.dialect);
  if (silence > Duration::zero()) {
    // The reset cuts off whatever was still to be handed over.
    while (!out_.empty() && out_.back().handOver > at)
      out_.pop_back();
    line_.reset();
    deafUntil_ = at + silence;
    wireFree_ = at;
    lastDue_ = *deafUntil_;
  }
  if (!banner.empty() && !options_.faults.mute) {
    const TimePoint due = std::max(at + silence, lastDue_);
    send(banner, due);
    lastDue_ = due;
  }
}

void Unit::setLineFormat(LineFormat format) {
  if (options_.wire.baud > 0)
    format.baud = options_.wire.baud;
  if (format.baud > 0 && format.bitsPerChar > 0)
    line_format_ = format;
}

// Puts bytes on the wire from `due` on, behind whatever is still leaving it.
void Unit::send(const std::string &bytes, TimePoint due) {
  if (options_.wire.delivery == Delivery::Burst) {
    for (char c : bytes)
      out_.push_back({due, c});
    lastHandOver_ = std::max(lastHandOver_, due);
    return;
  }
  const Duration step = line_format_.charTime();
  TimePoint t = std::max(due, wireFree_);
  for (char c : bytes) {
    t += step; // a byte is there once its stop bit is
    out_.push_back({handOverOf(t), c});
  }
  wireFree_ = t;
  if (!out_.empty())
    lastHandOver_ = std::max(lastHandOver_, out_.back().handOver);
}

TimePoint Unit::handOverOf(TimePoint arrival) const {
  const Duration period = options_.wire.chunkPeriod;
  if (options_.wire.delivery != Delivery::Chunked || period <= Duration::zero())
    return arrival;
  if (arrival <= chunkPhase_)
    return chunkPhase_;
  // The first latency-timer tick at or after the byte's arrival.
  auto ticks = (arrival - chunkPhase_ + period - Duration(1)) / period;
  return chunkPhase_ + ticks * period;
}

std::vector<std::string> Unit::takeDeliveries(TimePoint now) {
  std::vector<std::string> groups;
  std::optional<TimePoint> groupAt;
  auto put = [&](TimePoint at, char c) {
    if (!groupAt || *groupAt != at) {
      groups.emplace_back();
      groupAt = at;
    }
    groups.back() += c;
  };
  for (;;) {
    bool answer = !out_.empty() && out_.front().handOver <= now;
    std::optional<TimePoint> junkAt;
    if (garbageNext_)
      junkAt = handOverOf(*garbageNext_);
    bool junk = junkAt && *junkAt <= now;
    if (!answer && !junk)
      break;
    if (answer && (!junk || out_.front().handOver <= *junkAt)) {
      put(out_.front().handOver, out_.front().byte);
      out_.pop_front();
    } else {
      put(*junkAt, char(rng_() & 0xFF));
      *garbageNext_ += garbageStep_;
    }
  }
  return groups;
}

std::string Unit::takeOutput(TimePoint now) {
  std::string out;
  for (const std::string &g : takeDeliveries(now))
    out += g;
  return out;
}

std::optional<TimePoint> Unit::nextDue() const {
  std::optional<TimePoint> next;
  auto consider = [&](TimePoint t) {
    if (!next || t < *next)
      next = t;
  };
  if (!out_.empty())
    consider(out_.front().handOver);
  if (garbageNext_)
    consider(handOverOf(*garbageNext_));
  if (hangUpAt_)
    consider(*hangUpAt_);
  return next;
}

Position Unit::position(TimePoint now) const { return {az_.reported(now), el_.reported(now)}; }

bool Unit::moving(TimePoint now) const { return az_.moving(now) || el_.moving(now); }

bool Unit::hangUpDue(TimePoint now) const { return hangUpAt_ && now >= *hangUpAt_; }

std::optional<CommandRecord> Unit::pendingCommand() const { return line_; }

void Unit::trim() {
  while (received_.size() > options_.recordLimit)
    received_.pop_front();
  while (commands_.size() > options_.recordLimit)
    commands_.pop_front();
}

// ---------------------------------------------------------------- texts

std::string report(Position p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "AZ=%03d  EL=%03d\r\n", p.az, p.el);
  return buf;
}

std::string describe(const CommandRecord &rec) {
  switch (rec.command) {
  case Command::Poll:
    return "poll";
  case Command::PollBoth:
    return "poll (C2)";
  case Command::MoveAz:
    return "move azimuth to " + std::to_string(rec.az);
  case Command::MoveEl:
    return "move elevation to " + std::to_string(rec.el);
  case Command::MoveBoth:
    return "move azimuth to " + std::to_string(rec.az) + ", elevation to " + std::to_string(rec.el);
  case Command::StopAz:
    return "stop azimuth";
  case Command::StopEl:
    return "stop elevation";
  case Command::StopBoth:
    return "stop both";
  case Command::TurnCcw:
    return "turn azimuth counter-clockwise";
  case Command::TurnCw:
    return "turn azimuth clockwise";
  case Command::TurnDown:
    return "turn elevation down";
  case Command::TurnUp:
    return "turn elevation up";
  case Command::Ignored:
    return "ignored";
  case Command::Unfinished:
    return "unfinished (no CR)";
  }
  return "?";
}

std::string formatLogLine(const CommandRecord &rec, TimePoint origin) {
  std::string text, hex;
  char buf[16];
  for (unsigned char c : rec.bytes) {
    if (c == '\r') {
      text += "<CR>";
    } else if (c == '\n') {
      text += "<LF>";
    } else if (c >= 32 && c < 127) {
      text += char(c);
    } else {
      std::snprintf(buf, sizeof buf, "<%02X>", c);
      text += buf;
    }
    std::snprintf(buf, sizeof buf, hex.empty() ? "%02X" : " %02X", c);
    hex += buf;
  }
  size_t stored = rec.bytes.size() - (!rec.bytes.empty() && rec.bytes.back() == '\r' ? 1 : 0);
  if (stored >= kMaxLine)
    text += "...";
  double secs = std::chrono::duration<double>(rec.first - origin).count();
  long long spanMs = std::chrono::duration_cast<std::chrono::milliseconds>(rec.last - rec.first).count();
  char head[64];
  std::snprintf(head, sizeof head, "%8.3f (+%lld ms)  ", secs, spanMs);
  return head + text + "  [" + hex + "]  " + describe(rec);
}

} // namespace rotorsim
