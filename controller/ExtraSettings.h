#pragma once
// "Zelkor_M_extra.ini" beside "Zelkor_M.ini": the settings the nine-line
// file has no room for, as key=value lines (UTF-8, LF). Keys this program
// does not know are kept when the file is rewritten, so an older or newer
// program's settings survive; a missing file means the defaults.
#include <string>
#include <utility>
#include <vector>

inline constexpr const char *ExtraSettingsFileName = "Zelkor_M_extra.ini";

// The azimuth's travel of the control unit: 360, or 450 for overlap.
inline constexpr const char *AzimuthRangeKey = "AzimuthRange";
int AzimuthRangeOf(const std::string &value); // 360 unless "450"

// The range kept in dir's file; 360 when there is none. why tells of a file
// that could not be read or a value that is neither 360 nor 450.
int LoadAzimuthRange(const std::string &dir, std::string &why);

class ExtraSettings {
public:
  // Reads dir/Zelkor_M_extra.ini. A missing file leaves no keys and is no
  // error; a file that cannot be read returns why (and leaves no keys).
  std::string Load(const std::string &dir);
  // Writes all keys atomically (a temporary file renamed over the old one);
  // returns why it failed, or an empty string.
  std::string Save(const std::string &dir) const;

  std::string Get(const std::string &key, const std::string &fallback = {}) const;
  void Set(const std::string &key, const std::string &value);

private:
  // In file order; lines that are no key=value pair are kept as they stand.
  std::vector<std::pair<std::string, std::string>> entries_;
  std::vector<std::string> others_;
};
