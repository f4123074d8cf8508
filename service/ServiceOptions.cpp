#include "service/ServiceOptions.h"

#include "controller/Endpoint.h"

const char *ServiceUsageLine() { return "usage: zelkord [--help] [--rotctld [ADDRESS:]PORT]"; }

std::string ServiceHelpText() {
  return std::string(ServiceUsageLine()) + R"(

Drives a two-axis antenna rotator over a serial line (9600 baud, 8N1) without
a window, and lets trackers and loggers drive it over the network.

  --rotctld [ADDRESS:]PORT  serve rotator network clients there; default
                            127.0.0.1:4533 (this machine only). Name an
                            address (0.0.0.0, or one of this machine's) to
                            let other machines in.
  --help                    show this text

It reads Zelkor_M.ini in the folder it is started from: line 1 the port
number, line 3 the poll period in ms, lines 5 and 6 the parking positions.
A missing or damaged file gives the defaults (COM1, 1000 ms, parking 0 0),
said once; the file is never written. Port n is the entry COMn in that
folder, usually a link to the device (ln -s /dev/ttyUSB0 COM1), otherwise
/dev/ttyS<n-1>.

It polls the unit, waits for a device that goes away and takes it up again
when it is back, and stops an azimuth that does not move after a move or
turn. Each event is logged as one line on standard error. SIGTERM or SIGINT
ends it: the port closed, exit status 0. A port held by another program
(the window, for example) ends it at once with a message and status 1.

As a systemd user service: systemctl --user enable --now zelkord
(working folder ~/.local/share/zelkor; loginctl enable-linger $USER keeps it
running without a login). Clients connect with rotctl -m 2 -r HOST:4533.
)";
}

std::string ParseServiceOptions(const std::vector<std::string> &args, ServiceOptions &out) {
  const ServiceOptions defaults;
  CommandLine line;
  line.address = defaults.address;
  line.port = defaults.port;
  if (std::string error = ParseCommandLine(args, line); !error.empty())
    return error;
  out.address = line.address;
  out.port = line.port;
  out.help = line.help;
  return {};
}
