#include "netctl/Protocol.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <system_error>

namespace netctl {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front()))
    s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back()))
    s.remove_suffix(1);
  return s;
}

std::vector<std::string_view> Words(std::string_view s) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && IsSpace(s[i]))
      ++i;
    const std::size_t start = i;
    while (i < s.size() && !IsSpace(s[i]))
      ++i;
    if (i > start)
      out.push_back(s.substr(start, i - start));
  }
  return out;
}

struct Entry {
  char shortName; // 0: long name only
  const char *longName;
  Command command;
  int args; // -1: any (unsupported commands)
};

// Commands of the protocol that this controller does not offer are known,
// so that a client learns "not implemented" rather than "invalid".
constexpr Entry kCommands[] = {
    {'p', "get_pos", Command::GetPos, 0},
    {'P', "set_pos", Command::SetPos, 2},
    {'S', "stop", Command::Stop, 0},
    {'K', "park", Command::Park, 0},
    {'M', "move", Command::Move, 2},
    {'_', "get_info", Command::GetInfo, 0},
    {0, "dump_state", Command::DumpState, 0},
    {'1', "dump_caps", Command::DumpCaps, 0},
    {'q', "", Command::Quit, -1},
    {'Q', "", Command::Quit, -1},
    {'R', "reset", Command::Unsupported, -1},
    {'C', "set_conf", Command::Unsupported, -1},
    {'w', "send_cmd", Command::Unsupported, -1},
    {0, "get_conf", Command::Unsupported, -1},
    {0, "dump_conf", Command::Unsupported, -1},
    {0, "set_level", Command::Unsupported, -1},
    {0, "get_level", Command::Unsupported, -1},
    {0, "set_func", Command::Unsupported, -1},
    {0, "get_func", Command::Unsupported, -1},
    {0, "set_parm", Command::Unsupported, -1},
    {0, "get_parm", Command::Unsupported, -1},
    {0, "get_status", Command::Unsupported, -1},
};

const Entry *Lookup(std::string_view head) {
  if (head.size() > 1 && head[0] == '\\') {
    const std::string_view name = head.substr(1);
    for (const Entry &e : kCommands)
      if (name == e.longName)
        return &e;
    return nullptr;
  }
  if (head.size() == 1)
    for (const Entry &e : kCommands)
      if (e.shortName != 0 && head[0] == e.shortName)
        return &e;
  return nullptr;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z')
      x = char(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z')
      y = char(y - 'a' + 'A');
    if (x != y)
      return false;
  }
  return true;
}

std::string Integer(int v) {
  char buf[16];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

} // namespace

std::optional<double> ParseNumber(std::string_view text) {
  if (text.empty() || text.size() > 64)
    return std::nullopt;
  // from_chars takes no leading "+" and only a point.
  std::string s(text);
  if (s[0] == '+')
    s.erase(0, 1);
  int separators = 0;
  for (char &c : s) {
    if (c == ',')
      c = '.';
    if (c == '.')
      ++separators;
    else if (!((c >= '0' && c <= '9') || c == '-' || c == 'e' || c == 'E'))
      return std::nullopt; // keeps out "inf", "nan" and hexadecimal
  }
  if (separators > 1 || s.empty())
    return std::nullopt;
  double value = 0;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), value, std::chars_format::general);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size() || !std::isfinite(value))
    return std::nullopt;
  return value;
}

int ParseTurn(std::string_view text, Turn &turn) {
  struct Name {
    const char *name;
    int code;
  } static const names[] = {{"CCW", 8}, {"LEFT", 8}, {"CW", 16}, {"RIGHT", 16}, {"UP", 2}, {"DOWN", 4}};
  int code = -1;
  for (const Name &n : names)
    if (EqualsNoCase(text, n.name))
      code = n.code;
  if (code < 0) {
    const auto v = ParseNumber(text);
    if (!v || *v != std::floor(*v) || *v < 0 || *v > 1024)
      return kInvalid;
    code = int(*v);
  }
  switch (code) {
  case 8:
    turn = Turn::Ccw;
    return kOk;
  case 16:
    turn = Turn::Cw;
    return kOk;
  case 2:
    turn = Turn::Up;
    return kOk;
  case 4:
    turn = Turn::Down;
    return kOk;
  case 32:
  case 64:
  case 128:
  case 256:
    return kNotAvailable; // both axes at once
  default:
    return kInvalid;
  }
}

bool NormaliseTarget(double az, double el, int azMax, int &azOut, int &elOut) {
  if (!std::isfinite(az) || !std::isfinite(el))
    return false;
  if (az < -180.0 || az > double(azMax) || el < kElevationLimits.min || el > kElevationLimits.max)
    return false;
  azOut = int(std::lround(az));
  elOut = int(std::lround(el));
  return true;
}

std::string Fixed(double value, int decimals) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
  if (r.ec != std::errc())
    return "0";
  return std::string(buf, r.ptr);
}

Request ParseRequest(std::string_view line) {
  Request req;
  std::string_view rest = Trim(line);
  if (rest.empty()) {
    req.command = Command::Blank;
    return req;
  }
  if (rest[0] == '+' || rest[0] == ';' || rest[0] == '|') {
    req.separator = rest[0] == '+' ? '\n' : rest[0];
    rest = Trim(rest.substr(1));
  }
  const std::vector<std::string_view> words = Words(rest);
  const Entry *entry = words.empty() ? nullptr : Lookup(words[0]);
  if (entry == nullptr) {
    req.command = Command::Unknown;
    req.error = kInvalid;
    return req;
  }
  req.command = entry->command;
  req.name = entry->longName;
  for (std::size_t i = 1; i < words.size(); ++i)
    req.args.emplace_back(words[i]);
  if (req.command == Command::Unsupported) {
    req.error = kNotImplemented;
    return req;
  }
  if (entry->args >= 0 && int(req.args.size()) != entry->args) {
    req.error = kInvalid;
    return req;
  }
  if (req.command == Command::SetPos) {
    const auto az = ParseNumber(req.args[0]);
    const auto el = ParseNumber(req.args[1]);
    if (!az || !el) {
      req.error = kInvalid;
      return req;
    }
    req.az = *az;
    req.el = *el;
  } else if (req.command == Command::Move) {
    req.error = ParseTurn(req.args[0], req.turn);
    if (req.error == kOk && !ParseNumber(req.args[1]))
      req.error = kInvalid; // the speed is ignored, but must be a number
  }
  return req;
}

std::string FormatReply(const Request &request, int code, const std::vector<Field> &fields) {
  std::string out;
  if (request.separator == 0) {
    if (code != kOk)
      return "RPRT " + Integer(code) + "\n";
    for (const Field &f : fields)
      out += f.value + "\n";
    const bool query = request.command == Command::GetPos || request.command == Command::GetInfo ||
                       request.command == Command::DumpState;
    if (!query)
      out += "RPRT 0\n";
    return out;
  }
  const char sep = request.separator;
  if (!request.name.empty()) {
    out += request.name + ":";
    for (const std::string &a : request.args)
      out += " " + a;
    out += sep;
  }
  if (code == kOk)
    for (const Field &f : fields) {
      out += f.label.empty() ? f.value : f.label + ": " + f.value;
      out += sep;
    }
  out += "RPRT " + Integer(code) + "\n";
  return out;
}

std::vector<Field> PositionFields(double az, double el) {
  return {{"Azimuth", Fixed(az, 2)}, {"Elevation", Fixed(el, 2)}};
}

// Older clients read the limits from lines 3 to 6, newer ones the
// key=value pairs up to "done"; both accept this.
std::vector<Field> DumpStateFields(int azMax, bool labelled) {
  const std::string max = Fixed(azMax, 6);
  if (labelled)
    return {{"Protocol version", "1"},
            {"Rotor Model", "1"},
            {"Minimum Azimuth", "0.000000"},
            {"Maximum Azimuth", max},
            {"Minimum Elevation", "0.000000"},
            {"Maximum Elevation", "180.000000"},
            {"South Zero", "0"},
            {"Rotor Type", "AzEl"}};
  const std::string lines[] = {"1",
                               "1",
                               "0.000000",
                               max,
                               "0.000000",
                               "180.000000",
                               "min_az=0.000000",
                               "max_az=" + max,
                               "min_el=0.000000",
                               "max_el=180.000000",
                               "south_zero=0",
                               "rot_type=AzEl",
                               "done"};
  std::vector<Field> out;
  for (const std::string &line : lines)
    out.push_back({"", line});
  return out;
}

std::vector<Field> DumpCapsFields(const std::string &modelName, int azMax) {
  std::vector<Field> out;
  for (const auto &[key, value] :
       std::initializer_list<std::pair<const char *, std::string>>{{"Caps dump for model", "1"},
                                                                   {"Model name", modelName},
                                                                   {"Rot type", "Az-El"},
                                                                   {"Min Azimuth", "0.00"},
                                                                   {"Max Azimuth", Fixed(azMax, 2)},
                                                                   {"Min Elevation", "0.00"},
                                                                   {"Max Elevation", "180.00"},
                                                                   {"Can set Position", "Y"},
                                                                   {"Can get Position", "Y"},
                                                                   {"Can Stop", "Y"},
                                                                   {"Can Park", "Y"},
                                                                   {"Can Move", "Y"},
                                                                   {"Can get Info", "Y"},
                                                                   {"Can Reset", "N"}})
    out.push_back({"", std::string(key) + ":\t" + value});
  return out;
}

} // namespace netctl
