#include "app/ProgramOptions.h"

#include "controller/Endpoint.h"

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
  const ProgramOptions defaults;
  CommandLine line;
  line.address = defaults.address;
  line.port = defaults.port;
  if (std::string error = ParseCommandLine(args, line); !error.empty())
    return error;
  out.networkControl = line.rotctld;
  out.address = line.address;
  out.port = line.port;
  out.help = line.help;
  return {};
}
