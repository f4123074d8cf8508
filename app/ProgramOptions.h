#pragma once
// The program's command line: nothing, "--rotctld [ADDRESS:]PORT" to let
// network clients drive the rotator through the window, or "--help".
#include <cstdint>
#include <string>
#include <vector>

struct ProgramOptions {
  bool networkControl = false;
  // Loopback unless the user names an address: nobody from another machine
  // gets in by default.
  std::string address = "127.0.0.1";
  uint16_t port = 0;
  bool help = false;
};

// The line shown with every command-line error.
const char *UsageLine();

// What --help prints: the usage line, the options, where the program keeps
// its files, and why a port may not open.
std::string HelpText();

// Parses the arguments after the program name into `out`. Returns an empty
// string on success, otherwise a one-line message (the usage line is the
// caller's to add).
std::string ParseProgramOptions(const std::vector<std::string> &args, ProgramOptions &out);
