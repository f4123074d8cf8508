#pragma once
// The settings file "Zelkor_M.ini": nine lines, each ended by CR LF, read
// and written whole. The window reads and writes all of it; the service
// only reads what it needs and never writes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr const char *ConfigFileName = "Zelkor_M.ini";
inline constexpr std::size_t ConfigLines = 9;
// What is kept of a line: the file holds numbers and a two-letter code.
inline constexpr std::size_t ConfigLineBytes = 1024;

// Line numbers, counted from 0.
enum TConfigLine : std::size_t {
  clPort,
  clLanguage,
  clPollInterval,
  clReserved,
  clPark1,
  clPark2,
  clPollMode,
  clWindowLeft,
  clWindowTop,
};

// The lines written when the file is created.
const std::vector<std::string> &DefaultConfigLines();

// What the controller takes from the file.
struct RotorSettings {
  int32_t portNumber = 1;
  int32_t pollInterval = 1000;
  int32_t parkPosition1 = 0;
  int32_t parkPosition2 = 0;
};

// Reads the controller's settings from the file at path. A file that is
// missing, unreadable or damaged (a line that is no whole number, a port
// outside 1..255, a poll period below 1 ms) leaves out at the defaults and
// returns why; otherwise returns an empty string.
std::string ReadRotorSettings(const std::string &path, RotorSettings &out);
