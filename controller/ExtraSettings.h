#pragma once
// Settings added after the nine-line "Zelkor_M.ini", kept in a file of their
// own beside it so that file stays as it is: "Zelkor_M_extra.ini", one
// key=value per line (UTF-8, LF). Keys this program does not know are kept
// on rewrite; a missing file gives the defaults.
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

inline constexpr const char *ExtraSettingsFileName = "Zelkor_M_extra.ini";

class ExtraSettings {
public:
  // Reads the file in dir, replacing what was held. A missing file leaves
  // nothing held. Throws EInOutError when the file is there but unreadable.
  void Load(const std::string &dir);
  // Writes what is held to the file in dir: a temporary beside it then
  // replaces it, so a failed write leaves the old file whole. Throws
  // EInOutError on failure.
  void Save(const std::string &dir) const;

  std::string Get(const std::string &key, const std::string &fallback = {}) const;
  // The key's value; a new key goes to the end. Keys and values are
  // single-line: a line break would split the entry into two.
  void Set(const std::string &key, const std::string &value);

  // A yes/no setting: "1" or "0"; anything else is the fallback.
  bool GetFlag(const std::string &key, bool fallback) const;
  void SetFlag(const std::string &key, bool on) { Set(key, on ? "1" : "0"); }

  // Longest line kept, and most lines read: the file may come from anywhere.
  static constexpr std::size_t MaxLineBytes = 4096;
  static constexpr std::size_t MaxLines = 1000;

private:
  // Lines in file order: a key with its value, or (empty key) a line that
  // is no entry, kept as it stands.
  std::vector<std::pair<std::string, std::string>> lines_;
};

// The window's view choice: the elevation dial, its label and the groups of
// axis 2 shown.
inline constexpr const char *ShowElevationKey = "ShowElevation";

// The azimuth's travel of the control unit: 360, or 450 for overlap.
inline constexpr const char *AzimuthRangeKey = "AzimuthRange";
int AzimuthRangeOf(const std::string &value); // 360 unless "450"

// The range kept in dir's file; 360 when there is none. why tells of a file
// that could not be read or a value that is neither 360 nor 450.
int LoadAzimuthRange(const std::string &dir, std::string &why);
