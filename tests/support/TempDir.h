#pragma once
// A fresh folder under the system's temporary folder, removed with all it
// holds when the object goes.
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace support {

class TempDir {
public:
  // `what` names the folder, so one left behind by a crash tells its test.
  explicit TempDir(const std::string &what = "test") {
    std::string tmpl = (std::filesystem::temp_directory_path() / ("zk-" + what + "-XXXXXX")).string();
    if (!mkdtemp(tmpl.data()))
      throw std::runtime_error("cannot make a folder like " + tmpl);
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::filesystem::path &Path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path &name) const { return path_ / name; }

private:
  std::filesystem::path path_;
};

} // namespace support
