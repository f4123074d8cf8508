#pragma once
// Where network clients are served: "PORT", "ADDRESS:PORT" or
// "[IPv6]:PORT"; "localhost" means 127.0.0.1.
#include <cstdint>
#include <string>
#include <vector>

// The address stays as given when the text names only a port. Returns an
// empty string on success, otherwise a one-line message.
std::string ParseEndpoint(const std::string &text, std::string &address, uint16_t &port);

// The command line the window and the service share: "--help" (or "-h") and
// "--rotctld [ADDRESS:]PORT" (or "--rotctld=..."), at most once. Address and
// port come in as the defaults. Returns an empty string on success,
// otherwise a one-line message.
struct CommandLine {
  bool help = false;
  bool rotctld = false;
  std::string address;
  uint16_t port = 0;
};
std::string ParseCommandLine(const std::vector<std::string> &args, CommandLine &out);
