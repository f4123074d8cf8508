#include "controller/ConfigFile.h"

#include "controller/TextFiles.h"
#include "runtime/SysUtils.h"

#include <exception>

const std::vector<std::string> &DefaultConfigLines() {
  static const std::vector<std::string> lines{"1", "EN", "1000", "10", "0", "0", "0", "50", "50"};
  return lines;
}

std::string ReadRotorSettings(const std::string &path, RotorSettings &out) {
  out = RotorSettings{};
  if (!FileExists(path))
    return "no " + std::string(ConfigFileName) + " here";
  std::vector<TextLine> lines;
  try {
    lines = ReadTextLines(path, ConfigLines, ConfigLineBytes);
  } catch (const std::exception &e) {
    return std::string(ConfigFileName) + " cannot be read: " + e.what();
  }
  RotorSettings read;
  const struct {
    TConfigLine line;
    int32_t *value;
    int32_t min, max;
    const char *what;
  } numbers[] = {
      {clPort, &read.portNumber, 1, 255, "port number"},
      {clPollInterval, &read.pollInterval, 1, 3600000, "poll period"},
      {clPark1, &read.parkPosition1, -999, 999, "parking position 1"},
      {clPark2, &read.parkPosition2, -999, 999, "parking position 2"},
  };
  for (const auto &n : numbers) {
    // Built by appending: GCC 12 warns falsely on a temporary's concatenation.
    std::string where = ConfigFileName;
    where += " line " + std::to_string(n.line + 1);
    if (n.line >= lines.size())
      return where + " (" + n.what + ") is missing";
    const TextLine &line = lines[n.line];
    if (line.cut || !TryStrToInt(line.text, *n.value) || *n.value < n.min || *n.value > n.max)
      return where + " (" + n.what + ") is not a number from " + std::to_string(n.min) + " to " + std::to_string(n.max);
  }
  out = read;
  return {};
}
