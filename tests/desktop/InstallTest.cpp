// The installation: what `cmake --install` puts into a prefix, the menu
// entry and icon, and the launcher that gives the program its own folder.
#include "Command.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include <set>
#include <sys/stat.h>

namespace {

using namespace desktoptest;

class Installed : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    root_ = new TempDir;
    installed_ =
        new ChildResult(RunCommand({ZK_CMAKE_COMMAND, "--install", ZK_BUILD_DIR, "--prefix", Prefix().string()}));
  }
  static void TearDownTestSuite() {
    delete installed_;
    delete root_;
  }
  void SetUp() override {
    ASSERT_EQ(installed_->status, 0) << installed_->out << installed_->err;
    home = root_->Path() / ("home-" + std::to_string(++runs_));
    fs::create_directories(home);
  }

  static fs::path Prefix() { return root_->Path() / "prefix"; }
  static fs::path Shared() { return Prefix() / "share/zelkor"; }
  static std::string Launcher() { return (Prefix() / "bin/zelkor-launch").string(); }

  // The launcher's environment: a home of its own, no display.
  Env LauncherEnv(std::optional<std::string> xdgDataHome = std::nullopt) const {
    return {{"HOME", home.string()},
            {"XDG_DATA_HOME", xdgDataHome},
            {"QT_QPA_PLATFORM", "offscreen"},
            {"DISPLAY", std::nullopt}};
  }
  fs::path DefaultFolder() const { return home / ".local/share/zelkor"; }

  void ExpectDefaultsIn(const fs::path &dir) const {
    for (const char *f : {"Zelkor_M_language.csv", "Windrose_AZ.jpg"}) {
      ASSERT_TRUE(fs::exists(dir / f)) << dir / f;
      EXPECT_EQ(ReadFile(dir / f), ReadFile(Shared() / f)) << f;
    }
  }

  fs::path home;

private:
  static inline TempDir *root_ = nullptr;
  static inline ChildResult *installed_ = nullptr;
  static inline int runs_ = 0;
};

std::vector<std::string> FilesUnder(const fs::path &prefix) {
  std::vector<std::string> files;
  for (const auto &e : fs::recursive_directory_iterator(prefix))
    if (!e.is_directory() || e.is_symlink())
      files.push_back(fs::relative(e.path(), prefix).string());
  std::sort(files.begin(), files.end());
  return files;
}

// Width and height from a PNG's header chunk.
bool PngSize(const std::string &data, int &w, int &h) {
  if (data.size() < 24 || data.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 || data.compare(12, 4, "IHDR") != 0)
    return false;
  auto be = [&](std::size_t at) {
    return (unsigned char)data[at] << 24 | (unsigned char)data[at + 1] << 16 | (unsigned char)data[at + 2] << 8 |
           (unsigned char)data[at + 3];
  };
  w = static_cast<int>(be(16));
  h = static_cast<int>(be(20));
  return true;
}

std::map<std::string, std::string> DesktopEntry(const std::string &text) {
  std::map<std::string, std::string> keys;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos)
      end = text.size();
    const std::string line = text.substr(start, end - start);
    if (const std::size_t eq = line.find('='); eq != std::string::npos && line[0] != '#')
      keys[line.substr(0, eq)] = line.substr(eq + 1);
    start = end + 1;
  }
  return keys;
}

// Only the programs, their default files, the menu entry, the icon, the
// manual pages and the package's documents: no test, benchmark, library or
// header.
TEST_F(Installed, HoldsTheProgramsTheirFilesTheMenuEntryAndTheIconOnly) {
  EXPECT_EQ(FilesUnder(Prefix()), InstalledFiles());
  for (const char *exe : {"bin/zelkor", "bin/zelkord", "bin/rotorsim", "bin/zelkor-launch"})
    EXPECT_EQ(access((Prefix() / exe).c_str(), X_OK), 0) << exe;
  for (const char *f : {"Zelkor_M_language.csv", "Windrose_AZ.jpg"})
    EXPECT_EQ(ReadFile(Shared() / f), ReadFile(fs::path(ZK_SOURCE_DIR) / "data" / f)) << f;
}

TEST_F(Installed, IconsHaveTheSizesTheirFoldersName) {
  for (int size : IconSizes()) {
    const std::string dir = std::to_string(size) + "x" + std::to_string(size);
    int w = 0;
    int h = 0;
    ASSERT_TRUE(PngSize(ReadFile(Prefix() / "share/icons/hicolor" / dir / "apps/zelkor.png"), w, h)) << dir;
    EXPECT_EQ(w, size) << dir;
    EXPECT_EQ(h, size) << dir;
  }
  const std::string svg = ReadFile(Prefix() / "share/icons/hicolor/scalable/apps/zelkor.svg");
  EXPECT_NE(svg.find("<svg"), std::string::npos);
  EXPECT_NE(svg.find("viewBox=\"0 0 256 256\""), std::string::npos);
}

TEST_F(Installed, MenuEntryIsValidAndNamesTheLauncherAndTheIcon) {
  const fs::path entry = Prefix() / "share/applications/zelkor.desktop";
  if (!OnPath("desktop-file-validate"))
    GTEST_SKIP() << "desktop-file-validate is not installed (Debian package desktop-file-utils)";
  const ChildResult check = RunCommand({"desktop-file-validate", entry.string()});
  EXPECT_EQ(check.status, 0) << check.out << check.err;
  // Hints (such as a further category that could be added) are fine.
  for (const char *bad : {"error:", "warning:"}) {
    EXPECT_EQ(check.out.find(bad), std::string::npos) << check.out;
    EXPECT_EQ(check.err.find(bad), std::string::npos) << check.err;
  }
  auto keys = DesktopEntry(ReadFile(entry));
  EXPECT_EQ(keys["Type"], "Application");
  EXPECT_EQ(keys["Categories"], "Utility;HamRadio;");
  EXPECT_EQ(keys["Terminal"], "false");
  EXPECT_EQ(keys["Exec"], "zelkor-launch");
  EXPECT_EQ(keys["Icon"], "zelkor");
  EXPECT_TRUE(fs::exists(Prefix() / "bin" / keys["Exec"]));
}

// Software centres take the program's name, summary and menu entry from the
// AppStream file; the validator must accept it without a single remark.
TEST_F(Installed, AppStreamFileIsValidAndNamesTheMenuEntryAndThisVersion) {
  const fs::path metainfo = Prefix() / "share/metainfo/org.zelkor.zelkor.metainfo.xml";
  if (!OnPath("appstreamcli"))
    GTEST_SKIP() << "appstreamcli is not installed (Debian package appstream)";
  const ChildResult check =
      RunCommand({"appstreamcli", "validate", "--no-net", "--pedantic", "--no-color", metainfo.string()});
  EXPECT_EQ(check.status, 0) << check.out << check.err;
  // Every remark, down to the pedantic ones, is printed as "X: id:line: tag".
  for (const char *level : {"E: ", "W: ", "I: ", "P: "})
    EXPECT_EQ(check.out.find(level), std::string::npos) << check.out;
  const std::string xml = ReadFile(metainfo);
  EXPECT_NE(xml.find("<launchable type=\"desktop-id\">zelkor.desktop</launchable>"), std::string::npos);
  EXPECT_TRUE(fs::exists(Prefix() / "share/applications/zelkor.desktop"));
  EXPECT_NE(xml.find("<release version=\"" ZK_VERSION "\""), std::string::npos) << xml;
}

// Every installed program has its manual page, and man reads each without a
// complaint.
TEST_F(Installed, EveryProgramHasAManualPageThatManReadsCleanly) {
  if (!OnPath("man"))
    GTEST_SKIP() << "man is not installed";
  for (const auto &e : fs::directory_iterator(Prefix() / "bin")) {
    const std::string name = e.path().filename().string();
    SCOPED_TRACE(name);
    const fs::path page = Prefix() / "share/man/man1" / (name + ".1.gz");
    ASSERT_TRUE(fs::exists(page));
    const ChildResult r = RunCommand({"man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", page.string()},
                                     {{"LC_ALL", "C.UTF-8"}, {"MANWIDTH", "80"}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(Installed, ProgramsAnswerHelp) {
  const ChildResult zelkor =
      RunCommand({(Prefix() / "bin/zelkor").string(), "--help"}, {{"QT_QPA_PLATFORM", "offscreen"}});
  EXPECT_EQ(zelkor.status, 0) << zelkor.err;
  for (const char *word : {"usage: zelkor", "dialout", "ModemManager", "brltty"})
    EXPECT_NE(zelkor.out.find(word), std::string::npos) << word;
  const ChildResult sim = RunCommand({(Prefix() / "bin/rotorsim").string(), "--help"});
  EXPECT_EQ(sim.status, 0) << sim.err;
  const ChildResult service = RunCommand({(Prefix() / "bin/zelkord").string(), "--help"});
  EXPECT_EQ(service.status, 0) << service.err;
  EXPECT_NE(service.out.find("usage: zelkord"), std::string::npos) << service.out;
}

// The service runs as the user, in the folder the launcher fills, and comes
// back after a failure; its ExecStart names the installed program.
TEST_F(Installed, ServiceUnitRunsZelkordInTheUsersFolderAndRestartsOnFailure) {
  std::map<std::string, std::string> keys;
  std::istringstream unit(ReadFile(Prefix() / "lib/systemd/user/zelkord.service"));
  std::string line;
  while (std::getline(unit, line))
    if (const std::size_t eq = line.find('='); eq != std::string::npos && line[0] != '#')
      keys[line.substr(0, eq)] = line.substr(eq + 1);
  EXPECT_EQ(keys["WorkingDirectory"], "%h/.local/share/zelkor");
  EXPECT_EQ(keys["Restart"], "on-failure");
  EXPECT_EQ(keys["WantedBy"], "default.target");
  EXPECT_TRUE(fs::exists(Prefix() / "bin" / keys["ExecStart"])) << keys["ExecStart"];
  EXPECT_TRUE(fs::exists(Prefix() / "share/man/man1/zelkord.1.gz"));
}

// The first start copies the defaults into the user's folder; the
// arguments reach the program (a bad one ends it with its usage).
TEST_F(Installed, LauncherCopiesTheDefaultsOnceAndPassesItsArguments) {
  const ChildResult r = RunCommand({Launcher(), "--bogus"}, LauncherEnv());
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  EXPECT_NE(r.err.find("unknown option '--bogus'"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("usage: zelkor"), std::string::npos) << r.err;
  ExpectDefaultsIn(DefaultFolder());

  const ChildResult help = RunCommand({Launcher(), "--help"}, LauncherEnv());
  EXPECT_EQ(help.status, 0) << help.err;
  EXPECT_NE(help.out.find("dialout"), std::string::npos);
}

TEST_F(Installed, LauncherNeverReplacesTheUsersFiles) {
  const fs::path dir = DefaultFolder();
  fs::create_directories(dir);
  WriteFile(dir / "Zelkor_M_language.csv", "EN;02;Leave\r\n");
  fs::create_symlink("/nowhere/Windrose_AZ.jpg", dir / "Windrose_AZ.jpg"); // even a broken link
  const ChildResult r = RunCommand({Launcher(), "--bogus"}, LauncherEnv());
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_EQ(ReadFile(dir / "Zelkor_M_language.csv"), "EN;02;Leave\r\n");
  ASSERT_TRUE(fs::is_symlink(dir / "Windrose_AZ.jpg"));
  EXPECT_EQ(fs::read_symlink(dir / "Windrose_AZ.jpg"), "/nowhere/Windrose_AZ.jpg");
  // Nothing half-copied is left beside them.
  std::set<std::string> names;
  for (const auto &e : fs::directory_iterator(dir))
    names.insert(e.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"Zelkor_M_language.csv", "Windrose_AZ.jpg"}));
}

// XDG_DATA_HOME counts only as an absolute path; otherwise ~/.local/share.
TEST_F(Installed, LauncherFolderFollowsXdgDataHome) {
  struct Case {
    const char *name;
    std::optional<std::string> xdg;
    std::string expected; // relative to the case's home
  } cases[] = {
      {"unset", std::nullopt, ".local/share/zelkor"},
      {"empty", "", ".local/share/zelkor"},
      {"relative", "relative/data", ".local/share/zelkor"},
      {"absolute", "ABS", "xdg/zelkor"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    home = home.parent_path() / (std::string("home-xdg-") + c.name);
    fs::create_directories(home);
    const fs::path cwd = home / "cwd";
    fs::create_directories(cwd);
    std::optional<std::string> xdg = c.xdg;
    if (xdg && *xdg == "ABS")
      xdg = (home / "xdg").string();
    const ChildResult r = RunCommand({Launcher(), "--bogus"}, LauncherEnv(xdg), cwd);
    EXPECT_EQ(r.status, 2) << r.err;
    ExpectDefaultsIn(home / c.expected);
    EXPECT_TRUE(fs::is_empty(cwd)) << "a relative XDG_DATA_HOME was used";
  }
}

// Started through a link elsewhere (as from another bin folder), the
// launcher still finds the installation's files.
TEST_F(Installed, LauncherFindsItsInstallationThroughALink) {
  const fs::path links = home / "links";
  fs::create_directories(links);
  fs::create_symlink(Launcher(), links / "zelkor-launch");
  const ChildResult r = RunCommand({(links / "zelkor-launch").string(), "--bogus"}, LauncherEnv());
  EXPECT_EQ(r.status, 2) << r.err;
  ExpectDefaultsIn(DefaultFolder());
}

// The program runs in the user's folder: its settings file appears there,
// beside the copied defaults, and nowhere else. It runs until closed; the
// test ends it once the file is complete.
TEST_F(Installed, LauncherStartsTheProgramInTheUsersFolder) {
  const fs::path dir = DefaultFolder();
  fs::create_directories(dir);
  // COM1 leads nowhere: the start touches no real serial port.
  fs::create_symlink("/nonexistent-zk-port", dir / "COM1");
  const fs::path cwd = home / "cwd";
  fs::create_directories(cwd);
  ChildProcess program({Launcher()}, LauncherEnv(), cwd);
  ASSERT_TRUE(program.Started());
  const fs::path ini = dir / "Zelkor_M.ini";
  const std::string defaults = "1\r\nEN\r\n1000\r\n10\r\n0\r\n0\r\n0\r\n50\r\n50\r\n";
  const bool written = WaitForFolder(
      dir, [&] { return fs::exists(ini) && ReadFile(ini) == defaults; }, program.EndFd(), 60s);
  program.Signal(SIGTERM);
  const ChildResult r = program.Wait(30s);
  ASSERT_TRUE(written) << "no settings file in " << dir << "; exit " << r.status << "\n" << r.err;
  ExpectDefaultsIn(dir);
  EXPECT_TRUE(fs::is_empty(cwd));
}

} // namespace
