// The Debian package: `cpack -G DEB` from the build, its name, version and
// the dependencies found from the linked libraries, its contents, lintian's
// verdict, and (as root, with dpkg) an install and a removal on this system.
#include "Command.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sstream>

namespace {

using namespace desktoptest;

class Package : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    if (support::kSanitizerBuild || !OnPath("dpkg-deb") || !OnPath("dpkg-shlibdeps"))
      return;
    dir_ = new TempDir;
    built_ =
        new ChildResult(RunCommand({ZK_CPACK_COMMAND, "-G", "DEB", "--config",
                                    std::string(ZK_BUILD_DIR) + "/CPackConfig.cmake", "-B", dir_->Path().string()}));
    for (const auto &e : fs::directory_iterator(dir_->Path()))
      if (e.path().extension() == ".deb")
        deb_ = e.path();
  }
  static void TearDownTestSuite() {
    delete built_;
    delete dir_;
  }
  void SetUp() override {
    if (support::kSanitizerBuild)
      GTEST_SKIP() << "the package is made from the normal build, not a sanitizer build";
    if (!OnPath("dpkg-deb") || !OnPath("dpkg-shlibdeps"))
      GTEST_SKIP() << "dpkg-deb or dpkg-shlibdeps missing (Debian package dpkg-dev)";
    ASSERT_EQ(built_->status, 0) << built_->out << built_->err;
    ASSERT_FALSE(deb_.empty()) << "cpack made no .deb: " << built_->out;
  }

  static std::string Field(const std::string &name) {
    const ChildResult r = RunCommand({"dpkg-deb", "--field", deb_.string(), name});
    std::string v = r.out;
    while (!v.empty() && (v.back() == '\n' || v.back() == ' '))
      v.pop_back();
    return v;
  }

  static inline TempDir *dir_ = nullptr;
  static inline ChildResult *built_ = nullptr;
  static inline fs::path deb_;
};

TEST_F(Package, NameVersionAndDependenciesFromTheLinkedLibraries) {
  const ChildResult info = RunCommand({"dpkg-deb", "--info", deb_.string()});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_EQ(Field("Package"), "zelkor");
  EXPECT_EQ(Field("Version"), ZK_VERSION);
  std::string arch = RunCommand({"dpkg", "--print-architecture"}).out;
  arch = arch.substr(0, arch.find('\n'));
  EXPECT_EQ(Field("Architecture"), arch);
  EXPECT_EQ(deb_.filename().string(), "zelkor_" ZK_VERSION "_" + arch + ".deb");
  EXPECT_EQ(Field("Section"), "hamradio");
  EXPECT_FALSE(Field("Maintainer").empty());
  const std::string depends = Field("Depends");
  for (const char *lib :
       {"libqt6widgets6", "libqt6gui6", "libqt6core6", "libqt6network6", "libjpeg62-turbo", "libstdc++6", "libc6"})
    EXPECT_NE(depends.find(lib), std::string::npos) << lib << " missing from: " << depends;
}

// The package holds the install tree under /usr, nothing more.
TEST_F(Package, ContentsAreTheInstallationUnderUsr) {
  const ChildResult contents = RunCommand({"dpkg-deb", "--contents", deb_.string()});
  ASSERT_EQ(contents.status, 0) << contents.err;
  std::vector<std::string> files;
  std::istringstream lines(contents.out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == 'd')
      continue;
    const std::size_t at = line.find("./usr/");
    ASSERT_NE(at, std::string::npos) << line;
    files.push_back(line.substr(at + 6));
    if (line[0] == '-' && files.back().rfind("bin/", 0) == 0) {
      EXPECT_EQ(line.substr(0, 10), "-rwxr-xr-x") << line;
    }
  }
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, InstalledFiles());
}

// Debian's own checker finds nothing to object to: no error and no warning
// (remarks of the informational level, such as hardening hints, may stay).
TEST_F(Package, LintianReportsNoErrorAndNoWarning) {
  if (!OnPath("lintian"))
    GTEST_SKIP() << "lintian is not installed (Debian package lintian)";
  const ChildResult r = RunCommand({"lintian", "--fail-on", "error,warning", deb_.string()}, {}, {}, 600s);
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  std::istringstream lines(r.out);
  std::string line;
  while (std::getline(lines, line)) {
    EXPECT_NE(line.rfind("E: ", 0), 0u) << line;
    EXPECT_NE(line.rfind("W: ", 0), 0u) << line;
  }
}

// Holds dpkg's front-end lock as package tools do, so that the test waits
// for another installer instead of failing beside it; dpkg is then told
// the lock is held.
class FrontendLock {
public:
  explicit FrontendLock(std::chrono::seconds limit) {
    fd_ = open("/var/lib/dpkg/lock-frontend", O_RDWR | O_CREAT | O_CLOEXEC, 0640);
    if (fd_ < 0)
      return;
    // The wait ends at the deadline: the alarm interrupts it.
    struct sigaction quiet {};
    quiet.sa_handler = [](int) {};
    sigaction(SIGALRM, &quiet, &old_);
    alarm(static_cast<unsigned>(limit.count()));
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    held_ = fcntl(fd_, F_SETLKW, &lock) == 0;
    alarm(0);
    sigaction(SIGALRM, &old_, nullptr);
  }
  ~FrontendLock() {
    if (fd_ >= 0)
      close(fd_);
  }
  bool Held() const { return held_; }

private:
  int fd_ = -1;
  bool held_ = false;
  struct sigaction old_ {};
};

TEST_F(Package, InstallsAndRemovesCleanly) {
  if (geteuid() != 0 || !OnPath("dpkg"))
    GTEST_SKIP() << "installing the package needs root and dpkg";
  if (RunCommand({"dpkg-query", "-W", "-f=${db:Status-Abbrev}", "zelkor"}).out.rfind("ii", 0) == 0)
    GTEST_SKIP() << "a zelkor package is installed on this system; the test leaves it alone";
  for (const std::string &f : InstalledFiles())
    if (fs::exists(fs::path("/usr") / f))
      GTEST_SKIP() << "/usr/" << f << " exists already; the test would replace it";

  FrontendLock lock(180s);
  ASSERT_TRUE(lock.Held()) << "dpkg stayed locked by another installer";
  const Env locked = {{"DPKG_FRONTEND_LOCKED", "1"}};
  const ChildResult install = RunCommand({"dpkg", "-i", deb_.string()}, locked);
  // Removed whatever happens below.
  struct Remove {
    const Env &env;
    bool done = false;
    ~Remove() {
      if (!done)
        RunCommand({"dpkg", "-r", "zelkor"}, env);
    }
  } remove{locked};
  ASSERT_EQ(install.status, 0) << install.out << install.err;
  EXPECT_EQ(RunCommand({"dpkg-query", "-W", "-f=${db:Status-Abbrev}", "zelkor"}).out.substr(0, 2), "ii");
  for (const std::string &f : InstalledFiles())
    EXPECT_TRUE(fs::exists(fs::path("/usr") / f)) << "/usr/" << f;
  // The installed program finds every library it needs.
  const ChildResult help = RunCommand({"/usr/bin/zelkor", "--help"}, {{"QT_QPA_PLATFORM", "offscreen"}});
  EXPECT_EQ(help.status, 0) << help.err;

  const ChildResult removed = RunCommand({"dpkg", "-r", "zelkor"}, locked);
  remove.done = true;
  EXPECT_EQ(removed.status, 0) << removed.out << removed.err;
  for (const std::string &f : InstalledFiles())
    EXPECT_FALSE(fs::exists(fs::path("/usr") / f)) << "/usr/" << f << " is left";
  EXPECT_FALSE(fs::exists("/usr/share/zelkor")) << "its folder is left";
  const std::string status = RunCommand({"dpkg-query", "-W", "-f=${db:Status-Abbrev}", "zelkor"}).out;
  EXPECT_NE(status.substr(0, 2), "ii") << status;
}

} // namespace
