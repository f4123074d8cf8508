#pragma once
// The service's command line: "--rotctld [ADDRESS:]PORT" and "--help".
#include <cstdint>
#include <string>
#include <vector>

struct ServiceOptions {
  // Loopback unless the user names an address: nobody from another machine
  // gets in by default.
  std::string address = "127.0.0.1";
  uint16_t port = 4533;
  bool help = false;
};

const char *ServiceUsageLine();
std::string ServiceHelpText();

// Parses the arguments after the program name into out. Returns an empty
// string on success, otherwise a one-line message.
std::string ParseServiceOptions(const std::vector<std::string> &args, ServiceOptions &out);
