#include "rotorsim/RotorSim.h"

#include <charconv>
#include <cmath>

namespace rotorsim {

namespace {

bool wholeNumber(const std::string &text, long long lo, long long hi, long long &out) {
  const char *end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, out);
  return ec == std::errc() && p == end && !text.empty() && out >= lo && out <= hi;
}

bool decimal(const std::string &text, double lo, double hi, double &out) {
  const char *end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, out, std::chars_format::fixed);
  return ec == std::errc() && p == end && !text.empty() && std::isfinite(out) && out >= lo && out <= hi;
}

bool sizeList(const std::string &text, std::vector<int> &out) {
  out.clear();
  size_t pos = 0;
  for (;;) {
    size_t comma = text.find(',', pos);
    long long n = 0;
    if (!wholeNumber(text.substr(pos, comma - pos), 1, 17, n))
      return false;
    out.push_back(int(n));
    if (comma == std::string::npos)
      return true;
    pos = comma + 1;
  }
}

} // namespace

std::string usageText() {
  std::string text = R"(Usage: rotorsim [OPTION]...
A simulated two-axis rotator control unit at the far end of a pseudo-terminal.
Prints the slave device path on standard output and runs until interrupted
(Ctrl-C, SIGTERM) or until it hangs up.

Commands understood (each ends with CR): C, C2 (poll: answered with the
16 bytes "AZ=aaa  EL=eee" CR LF); M ddd (move azimuth), MB ddd (move
elevation), W ddd ddd with one space between (move both); A, E, S (stop
azimuth, elevation, both); L, R (turn azimuth counter-clockwise, clockwise);
D, U (turn elevation down, up). Every command but a poll is answered with a
single CR; anything else is ignored up to the next CR and not answered.
Other units of the family answer in their own way: see --dialect.

Device:
  --link PATH          put a symbolic link to the device at PATH (for example
                       COM1 in the controller's start directory); an old link
                       there is replaced, missing folders are made; the link
                       (and any folder made for it, if empty) goes on exit
  --socket PATH        also serve the line on a unix socket at PATH: a
                       virtual machine's serial port or USB adapter connects
                       to it as a client (a client that connects again takes
                       the line over); the socket goes on exit
  --log FILE           write one line per received command to FILE: time in
                       seconds since start, time from first byte to CR, the
                       bytes, their hex codes and what the unit did

Line:
  --delivery MODE      how answers reach the computer: line (default: each
                       byte as it leaves the wire, at the line's pace), burst
                       (every answer in one piece, at once) or chunked:MS
                       (paced on the wire, handed over every MS milliseconds
                       at a random phase, like a USB adapter's latency timer)
  --baud N             pace the line as if it ran at N baud (default: the
                       rate the device is set to; 9600 8N1 gives about
                       1.04 ms per byte)

Unit:
  --dialect NAME       answer as this kind of unit does ("reset": silent for
                       2 s after the port opens, 1 s for hobby):
)";
  for (const DialectInfo &d : dialects()) {
    std::string name = d.name;
    text += "    " + name + std::string(name.size() < 16 ? 16 - name.size() : 1, ' ') + d.help + "\n";
  }
  text += R"(  --open-silence MS    hear and say nothing for MS milliseconds after the
                       port is opened, as a board that resets on DTR does
                       (default: as the dialect's unit; 0: never)

Motion:
  --az-speed DEG       azimuth speed in degrees per second (default 6)
  --el-speed DEG       elevation speed in degrees per second (default 3)
  --start-az DEG       azimuth at start, 0..360, or 0..450 with --az-range 450
                       (default 0)
  --az-range 360|450   the azimuth's travel; 450 for a unit with overlap, which
                       then reports 360..450 (default 360)
  --start-el DEG       elevation at start, 0..180 (default 0)

Faults:
  --reply-delay MS     send every answer MS milliseconds late
  --split SIZES        send the report in pieces of these sizes, comma
                       separated (for example 1 or 4,4,4); the rest of the
                       report is one last piece
  --split-pause MS     pause between the pieces (default 100)
  --leading-cr         send a CR before each report (17 bytes)
  --garbage RATE       send random bytes at RATE bytes per second, between
                       and inside answers
  --seed N             seed for the random bytes (default 1)
  --mute               act on commands but never answer (also --no-answer)
  --stall[=AXES]       answer moves and turns, but never move (a jammed
                       rotator, an iced brake, a broken motor cable); AXES
                       is az, el or both (default both)
  --hangup-after N     hang up after the N-th command (once its answer has
                       been read, or after half a second): the device goes
                       away as if unplugged, and the program ends

  -h, --help           show this text
)";
  return text;
}

std::string parseArguments(const std::vector<std::string> &args, ProgramOptions &out) {
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    bool hasValue = false;
    if (size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      hasValue = true;
    }
    auto flag = [&]() { return hasValue ? "option " + name + " takes no value" : std::string(); };
    auto need = [&]() -> bool {
      if (hasValue)
        return true;
      if (i + 1 >= args.size())
        return false;
      value = args[++i];
      return true;
    };
    auto bad = [&]() { return "invalid value '" + value + "' for " + name; };
    long long n = 0;
    double d = 0;
    Faults &f = out.unit.faults;

    if (name == "-h" || name == "--help") {
      out.help = true;
      if (auto e = flag(); !e.empty())
        return e;
    } else if (name == "--leading-cr") {
      f.leadingCr = true;
      if (auto e = flag(); !e.empty())
        return e;
    } else if (name == "--stall") {
      // The axes only with "=": a bare --stall must not take the next
      // argument for its value.
      f.stall = true;
      if (!hasValue || value == "both")
        f.stallAxis = StallAxis::Both;
      else if (value == "az")
        f.stallAxis = StallAxis::Azimuth;
      else if (value == "el")
        f.stallAxis = StallAxis::Elevation;
      else
        return bad();
    } else if (name == "--mute" || name == "--no-answer") {
      f.mute = true;
      if (auto e = flag(); !e.empty())
        return e;
    } else if (name == "--link" || name == "--log" || name == "--socket") {
      if (!need())
        return "option " + name + " needs a value";
      if (value.empty())
        return bad();
      (name == "--link" ? out.linkPath : name == "--log" ? out.logPath : out.socketPath) = value;
    } else if (name == "--az-speed" || name == "--el-speed") {
      if (!need())
        return "option " + name + " needs a value";
      if (!decimal(value, 0.001, 3600, d) || d <= 0)
        return bad();
      (name == "--az-speed" ? out.unit.azSpeed : out.unit.elSpeed) = d;
    } else if (name == "--start-az") {
      if (!need())
        return "option " + name + " needs a value";
      if (!wholeNumber(value, 0, 450, n))
        return bad();
      out.unit.startAz = int(n);
    } else if (name == "--az-range") {
      if (!need())
        return "option " + name + " needs a value";
      if (value != "360" && value != "450")
        return bad();
      out.unit.azRange = value == "360" ? 360 : 450;
    } else if (name == "--start-el") {
      if (!need())
        return "option " + name + " needs a value";
      if (!wholeNumber(value, 0, 180, n))
        return bad();
      out.unit.startEl = int(n);
    } else if (name == "--reply-delay" || name == "--split-pause") {
      if (!need())
        return "option " + name + " needs a value";
      if (!wholeNumber(value, 0, 600000, n))
        return bad();
      (name == "--reply-delay" ? f.replyDelay : f.splitPause) = std::chrono::milliseconds(n);
    } else if (name == "--split") {
      if (!need())
        return "option " + name + " needs a value";
      if (!sizeList(value, f.splitSizes))
        return bad();
    } else if (name == "--delivery") {
      if (!need())
        return "option " + name + " needs a value";
      Wire &w = out.unit.wire;
      if (value == "line") {
        w.delivery = Delivery::Line;
      } else if (value == "burst") {
        w.delivery = Delivery::Burst;
      } else if (value.rfind("chunked:", 0) == 0 && wholeNumber(value.substr(8), 1, 60000, n)) {
        w.delivery = Delivery::Chunked;
        w.chunkPeriod = std::chrono::milliseconds(n);
      } else {
        return bad();
      }
    } else if (name == "--dialect") {
      if (!need())
        return "option " + name + " needs a value";
      const auto d = dialectNamed(value);
      if (!d)
        return bad();
      out.unit.dialect = *d;
    } else if (name == "--open-silence") {
      if (!need())
        return "option " + name + " needs a value";
      if (!wholeNumber(value, 0, 600000, n))
        return bad();
      out.unit.openSilence = std::chrono::milliseconds(n);
    } else if (name == "--baud") {
      if (!need())
        return "option " + name + " needs a value";
      if (!wholeNumber(value, 50, 4000000, n))
        return bad();
      out.unit.wire.baud = int(n);
    } else if (name == "--garbage") {
      if (!need())
        return "option " + name + " needs a value";
      if (!decimal(value, 0, 10000, d))
        return bad();
      f.garbagePerSecond = d;
    } else if (name == "--seed") {
      if (!need())
        return "option " + name + " needs a value";
      if (!wholeNumber(value, 0, 0xFFFFFFFFLL, n))
        return bad();
      f.seed = uint32_t(n);
    } else if (name == "--hangup-after") {
      if (!need())
        return "option " + name + " needs a value";
      if (!wholeNumber(value, 1, 1000000000, n))
        return bad();
      f.hangUpAfter = int(n);
    } else {
      return "unknown option '" + args[i] + "'";
    }
  }
  // Checked once all is read: the options may come in any order.
  if (out.unit.startAz > out.unit.azRange)
    return "invalid value '" + std::to_string(out.unit.startAz) + "' for --start-az: beyond the azimuth range";
  return {};
}

} // namespace rotorsim
