#pragma once
// A locale whose decimal separator is a comma, compiled into a temporary
// folder when the system has none installed (as Debian's slim images do).
// Point LOCPATH at Folder() and select Name().
#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

class CommaLocale {
public:
  CommaLocale() {
    char tmpl[] = "/tmp/zk-locale-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
      return;
    folder_ = tmpl;
    const std::string cmd = "localedef -i de_DE -f UTF-8 '" + folder_ + "/" + Name() + "' >/dev/null 2>&1";
    ok_ = std::system(cmd.c_str()) == 0 || std::filesystem::exists(folder_ + "/" + Name() + "/LC_NUMERIC");
  }
  ~CommaLocale() {
    std::error_code ec;
    if (!folder_.empty())
      std::filesystem::remove_all(folder_, ec);
  }
  CommaLocale(const CommaLocale &) = delete;
  CommaLocale &operator=(const CommaLocale &) = delete;

  bool Ok() const { return ok_; }
  const std::string &Folder() const { return folder_; }
  static const char *Name() { return "de_DE.UTF-8"; }

private:
  std::string folder_;
  bool ok_ = false;
};
