#include "controller/ExtraSettings.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {
// The file holds a few short lines; anything bigger is not ours.
constexpr std::size_t MaxFileBytes = 64 * 1024;

std::string PathIn(const std::string &dir) {
  return (std::filesystem::path(dir.empty() ? "." : dir) / ExtraSettingsFileName).string();
}

std::string Trim(const std::string &s) {
  const auto b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos)
    return {};
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}
} // namespace

int AzimuthRangeOf(const std::string &value) { return Trim(value) == "450" ? 450 : 360; }

int LoadAzimuthRange(const std::string &dir, std::string &why) {
  ExtraSettings extra;
  why = extra.Load(dir);
  const std::string value = extra.Get(AzimuthRangeKey, "360");
  if (why.empty() && value != "360" && value != "450")
    why = std::string(AzimuthRangeKey) + "=" + value + " is neither 360 nor 450; 360 is used";
  return AzimuthRangeOf(value);
}

std::string ExtraSettings::Load(const std::string &dir) {
  entries_.clear();
  others_.clear();
  const std::string path = PathIn(dir);
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec))
      return {};
    return path + ": cannot be read";
  }
  std::string all(MaxFileBytes + 1, '\0');
  in.read(all.data(), std::streamsize(all.size()));
  all.resize(std::size_t(in.gcount()));
  if (all.size() > MaxFileBytes)
    return path + ": too big to be a settings file";
  std::size_t pos = 0;
  while (pos < all.size()) {
    std::size_t end = all.find('\n', pos);
    if (end == std::string::npos)
      end = all.size();
    const std::string line = all.substr(pos, end - pos);
    pos = end + 1;
    const auto eq = line.find('=');
    const std::string key = eq == std::string::npos ? std::string() : Trim(line.substr(0, eq));
    if (key.empty()) {
      if (!Trim(line).empty())
        others_.push_back(line);
      continue;
    }
    Set(key, Trim(line.substr(eq + 1)));
  }
  return {};
}

std::string ExtraSettings::Save(const std::string &dir) const {
  const std::string path = PathIn(dir);
  const std::string temp = path + ".tmp";
  std::string text;
  for (const auto &[key, value] : entries_)
    text += key + "=" + value + "\n";
  for (const std::string &line : others_)
    text += line + "\n";
  FILE *f = std::fopen(temp.c_str(), "wb");
  if (!f)
    return temp + ": " + std::strerror(errno);
  const bool written =
      std::fwrite(text.data(), 1, text.size(), f) == text.size() && std::fflush(f) == 0 && ::fsync(fileno(f)) == 0;
  const int error = errno;
  if (std::fclose(f) != 0 || !written) {
    std::remove(temp.c_str());
    return temp + ": " + std::strerror(written ? errno : error);
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    const int e = errno;
    std::remove(temp.c_str());
    return path + ": " + std::strerror(e);
  }
  return {};
}

std::string ExtraSettings::Get(const std::string &key, const std::string &fallback) const {
  for (const auto &[k, v] : entries_)
    if (k == key)
      return v;
  return fallback;
}

void ExtraSettings::Set(const std::string &key, const std::string &text) {
  // One line per key, whatever the caller hands over.
  std::string value = text;
  for (char &c : value)
    if (c == '\n' || c == '\r')
      c = ' ';
  for (auto &[k, v] : entries_)
    if (k == key) {
      v = value;
      return;
    }
  entries_.emplace_back(key, value);
}
