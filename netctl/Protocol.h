#pragma once
// The rotator network protocol, as trackers and loggers speak it: one request
// per line, a short or a long (backslash) command name, optional arguments,
// and an optional leading "+", ";" or "|" asking for labelled replies.
//
// Everything here is independent of the process locale: numbers are read
// with a point or a comma and always written with a point.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace netctl {

// Reply codes of the protocol's "RPRT n" line.
enum Code : int {
  kOk = 0,
  kInvalid = -1, // unknown command, missing or bad argument
  kNotImplemented = -4,
  kTimeout = -5, // no position known, or the unit cannot be reached
  kIoError = -6, // the command could not be written to the unit
  kNotAvailable = -11,
};

enum class Command {
  Blank,       // empty line: no reply at all
  GetPos,      // p, \get_pos
  SetPos,      // P az el, \set_pos
  Stop,        // S, \stop
  Park,        // K, \park
  Move,        // M dir speed, \move
  GetInfo,     // _, \get_info
  DumpState,   // \dump_state
  DumpCaps,    // 1, \dump_caps
  Quit,        // q, Q: close without a reply
  Unsupported, // known to the protocol, not offered here
  Unknown,
};

enum class Turn { Ccw, Cw, Up, Down };

// The elevation as clients are told it; the azimuth's top end is the
// unit's range (360 or 450), asked of the rotator.
struct AxisLimits {
  double min, max;
};
inline constexpr AxisLimits kElevationLimits{0, 180};

struct Request {
  Command command = Command::Unknown;
  // 0 for plain replies; otherwise the separator of a labelled reply
  // ('\n' for a leading "+", or ';' / '|').
  char separator = 0;
  // The long name, for the header of a labelled reply ("get_pos").
  std::string name;
  // The arguments as the client wrote them, for the same header.
  std::vector<std::string> args;
  // Set when the arguments were read successfully.
  double az = 0, el = 0;
  Turn turn = Turn::Ccw;
  // Not kOk when the line is already answered by this code.
  int error = kOk;
};

Request ParseRequest(std::string_view line);

// A number as clients write it: optional sign, digits, one decimal point or
// comma, an optional exponent. No infinities, no NaN, nothing left over.
std::optional<double> ParseNumber(std::string_view text);

// A direction of "M": 8/CCW/LEFT, 16/CW/RIGHT, 2/UP, 4/DOWN. A diagonal
// (32, 64, 128, 256) is a valid request this unit cannot do.
int ParseTurn(std::string_view text, Turn &turn);

// Target of a "P" in whole degrees, rounded. False (nothing to be sent) for
// an azimuth outside -180..azMax, an elevation outside 0..180, or a value
// that is no finite number: a client with a units or sign fault must hear
// of it, not see the antenna turn somewhere plausible.
bool NormaliseTarget(double az, double el, int azMax, int &azOut, int &elOut);

// Fixed point with `decimals` digits, a point as separator.
std::string Fixed(double value, int decimals);

// One line of a reply. Plain replies show the value only; labelled replies
// show "label: value" (or the value alone when there is no label).
struct Field {
  std::string label;
  std::string value;
};

// The whole reply to a request, line ends included; it goes out in one
// write. A plain reply to a query carries no status line when it succeeds.
std::string FormatReply(const Request &request, int code, const std::vector<Field> &fields = {});

std::vector<Field> PositionFields(double az, double el);
// The limits as clients read them; labelled for the "+" form.
std::vector<Field> DumpStateFields(int azMax, bool labelled = false);
std::vector<Field> DumpCapsFields(const std::string &modelName, int azMax);

} // namespace netctl
