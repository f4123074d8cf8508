#include "app/ProgramOptions.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {

bool ParsePort(const std::string &text, uint16_t &port) {
  if (text.empty() || text.size() > 5)
    return false;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return false;
    value = value * 10 + unsigned(c - '0');
  }
  if (value == 0 || value > 65535)
    return false;
  port = uint16_t(value);
  return true;
}

// "PORT", "ADDRESS:PORT" or "[IPv6]:PORT".
std::string ParseEndpoint(const std::string &text, ProgramOptions &out) {
  std::string address = out.address;
  std::string port = text;
  if (!text.empty() && text[0] == '[') {
    const std::size_t close = text.find("]:");
    if (close == std::string::npos)
      return "'" + text + "' is not [ADDRESS]:PORT";
    address = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else if (const std::size_t colon = text.rfind(':'); colon != std::string::npos) {
    address = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (address.find(':') != std::string::npos)
      return "an IPv6 address goes in brackets: [" + address + "]:" + port;
  }
  if (address == "localhost")
    address = "127.0.0.1";
  unsigned char parsed[sizeof(in6_addr)];
  if (inet_pton(AF_INET, address.c_str(), parsed) != 1 && inet_pton(AF_INET6, address.c_str(), parsed) != 1)
    return "'" + address + "' is not an IP address";
  if (!ParsePort(port, out.port))
    return "'" + port + "' is not a port number (1 to 65535)";
  out.address = address;
  out.networkControl = true;
  return {};
}

} // namespace

const char *UsageLine() { return "usage: zelkor [--help] [--rotctld [ADDRESS:]PORT]"; }

std::string HelpText() {
  return std::string(UsageLine()) + "\n"
                                    "\n"
                                    "Controls a two-axis antenna rotator over a serial line (9600 baud, 8N1).\n"
                                    "\n"
                                    "  --rotctld [ADDRESS:]PORT  let rotator network clients drive the window;\n"
                                    "                            ADDRESS defaults to 127.0.0.1 (this machine only)\n"
                                    "  --help                    show this text\n"
                                    "\n"
                                    "Files: Zelkor_M.ini (settings), Zelkor_M_language.csv and Windrose_AZ.jpg\n"
                                    "live in the folder the program is started from. The menu entry starts it\n"
                                    "through zelkor-launch in ~/.local/share/zelkor ($XDG_DATA_HOME/zelkor).\n"
                                    "Port n is the entry COMn in that folder, usually a link to the device\n"
                                    "(ln -s /dev/ttyUSB0 COM3), otherwise /dev/ttyS<n-1>. To choose an\n"
                                    "adapter from a list, right-click the Comport box (or type 0 there).\n"
                                    "\n"
                                    "When a port cannot be opened:\n"
                                    "  permission denied  the user may not use serial devices: add the user to\n"
                                    "                     the dialout group (sudo adduser $USER dialout), then\n"
                                    "                     log out and in again.\n"
                                    "  busy               another program holds the device. On many systems\n"
                                    "                     ModemManager probes new USB serial adapters and brltty\n"
                                    "                     claims some of them as braille displays: stop or remove\n"
                                    "                     them (sudo systemctl stop ModemManager;\n"
                                    "                     sudo apt remove brltty), then plug the adapter in again.\n"
                                    "  no serial port     /dev/ttyS<n-1> is a slot the kernel keeps for a serial\n"
                                    "                     port that is not fitted: link COMn to the real device.\n";
}

std::string ParseProgramOptions(const std::vector<std::string> &args, ProgramOptions &out) {
  ProgramOptions parsed;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    std::string value;
    if (a == "--help" || a == "-h") {
      parsed.help = true;
      continue;
    }
    if (a == "--rotctld") {
      if (i + 1 >= args.size())
        return "--rotctld needs a port";
      value = args[++i];
    } else if (a.rfind("--rotctld=", 0) == 0) {
      value = a.substr(10);
    } else {
      return "unknown option '" + a + "'";
    }
    if (parsed.networkControl)
      return "--rotctld given twice";
    if (std::string error = ParseEndpoint(value, parsed); !error.empty())
      return error;
  }
  out = parsed;
  return {};
}
