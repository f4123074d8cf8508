#include "controller/ExtraSettings.h"

#include "controller/TextFiles.h"
#include "runtime/SysUtils.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <unistd.h>

namespace {

std::string PathIn(const std::string &dir) { return (std::filesystem::path(dir) / ExtraSettingsFileName).string(); }

[[noreturn]] void Fail(const std::string &fileName, const char *what, int e) {
  throw EInOutError("Datei " + fileName + " kann nicht " + what + " werden. " + std::strerror(e), e);
}

std::string Trimmed(const std::string &s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string::npos)
    return {};
  const auto last = s.find_last_not_of(" \t");
  return s.substr(first, last - first + 1);
}

} // namespace

void ExtraSettings::Load(const std::string &dir) {
  lines_.clear();
  const std::string path = PathIn(dir);
  if (!FileExists(path))
    return;
  std::vector<std::pair<std::string, std::string>> lines;
  ForEachTextLine(path, MaxLineBytes, [&](const TextLine &line) {
    const auto eq = line.text.find('=');
    const std::string key = eq == std::string::npos ? std::string() : Trimmed(line.text.substr(0, eq));
    // A cut line is kept whole as far as it was read, never taken as an
    // entry with a shortened value.
    if (key.empty() || line.cut)
      lines.emplace_back(std::string(), line.text);
    else
      lines.emplace_back(key, line.text.substr(eq + 1));
    return lines.size() < MaxLines;
  });
  lines_ = std::move(lines);
}

void ExtraSettings::Save(const std::string &dir) const {
  std::string content;
  for (const auto &[key, value] : lines_)
    content += (key.empty() ? value : key + "=" + value) + "\n";
  const std::string path = PathIn(dir);
  const std::string temp = path + ".new";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0)
    Fail(path, "erstellt", errno);
  int e = 0;
  for (std::size_t done = 0; e == 0 && done < content.size();) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n >= 0)
      done += std::size_t(n);
    else if (errno != EINTR)
      e = errno;
  }
  if (e == 0 && ::fsync(fd) != 0)
    e = errno;
  if (::close(fd) != 0 && e == 0)
    e = errno;
  if (e == 0 && std::rename(temp.c_str(), path.c_str()) != 0)
    e = errno;
  if (e != 0) {
    ::unlink(temp.c_str());
    Fail(path, "geschrieben", e);
  }
}

std::string ExtraSettings::Get(const std::string &key, const std::string &fallback) const {
  for (const auto &[k, v] : lines_)
    if (!k.empty() && k == key)
      return Trimmed(v);
  return fallback;
}

void ExtraSettings::Set(const std::string &key, const std::string &raw) {
  // One key is one line: a line break in a value must not make a second entry.
  std::string value = raw;
  for (char &c : value)
    if (c == '\n' || c == '\r')
      c = ' ';
  for (auto &[k, v] : lines_)
    if (!k.empty() && k == key) {
      v = value;
      return;
    }
  lines_.emplace_back(key, value);
}

bool ExtraSettings::GetFlag(const std::string &key, bool fallback) const {
  const std::string v = Get(key, "");
  if (v == "1")
    return true;
  if (v == "0")
    return false;
  return fallback;
}

int AzimuthRangeOf(const std::string &value) { return Trimmed(value) == "450" ? 450 : 360; }

int LoadAzimuthRange(const std::string &dir, std::string &why) {
  why.clear();
  ExtraSettings extra;
  try {
    extra.Load(dir);
  } catch (const std::exception &e) {
    why = e.what();
    return 360;
  }
  const std::string value = extra.Get(AzimuthRangeKey, "360");
  if (value != "360" && value != "450")
    why = std::string(AzimuthRangeKey) + "=" + value + " is neither 360 nor 450; 360 is used";
  return AzimuthRangeOf(value);
}
