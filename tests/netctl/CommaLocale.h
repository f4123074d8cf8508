#pragma once
// A locale whose decimal separator is a comma, compiled into a temporary
// folder when the system has none installed (as Debian's slim images do).
// Point LOCPATH at Folder() and select Name().
#include <filesystem>
#include <string>

#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

class CommaLocale {
public:
  CommaLocale() {
    const auto made = support::RunCommand({"localedef", "-i", "de_DE", "-f", "UTF-8", folder_ + "/" + Name()});
    ok_ = made.status == 0 || std::filesystem::exists(folder_ + "/" + Name() + "/LC_NUMERIC");
  }
  CommaLocale(const CommaLocale &) = delete;
  CommaLocale &operator=(const CommaLocale &) = delete;

  bool Ok() const { return ok_; }
  const std::string &Folder() const { return folder_; }
  static const char *Name() { return "de_DE.UTF-8"; }

private:
  support::TempDir dir_{"locale"};
  std::string folder_ = dir_.Path().string();
  bool ok_ = false;
};
