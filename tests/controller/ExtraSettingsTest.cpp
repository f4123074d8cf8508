// The small settings file beside the nine-line one: what is read, what a
// rewrite keeps, and that a failed write leaves the old file whole.
#include "controller/ExtraSettings.h"
#include "runtime/SysUtils.h"
#include "tests/support/Files.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

TEST(ExtraSettings, ReadsItsKeysAndKeepsEverythingElseOnRewrite) {
  support::TempDir dir("extra");
  const fs::path file = dir / ExtraSettingsFileName;
  struct Case {
    const char *name;
    const char *content;
    bool showElevation;     // as read, fallback false
    const char *afterSetOn; // the file once ShowElevation=1 is saved
  } cases[] = {
      {"one key", "ShowElevation=1\n", true, "ShowElevation=1\n"},
      {"off", "ShowElevation=0\n", false, "ShowElevation=1\n"},
      {"others' keys kept in place", "AzimuthRange=450\nShowElevation=0\nX=y=z\n", false,
       "AzimuthRange=450\nShowElevation=1\nX=y=z\n"},
      {"new key goes last", "AzimuthRange=450\n", false, "AzimuthRange=450\nShowElevation=1\n"},
      {"CR LF and spaces", " ShowElevation = 1 \r\n", true, "ShowElevation=1\n"},
      {"no entry lines kept", "# note\n\nShowElevation=1\n", true, "# note\n\nShowElevation=1\n"},
      {"a value that is no flag", "ShowElevation=yes\n", false, "ShowElevation=1\n"},
      {"empty file", "", false, "ShowElevation=1\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    support::WriteFile(file, c.content);
    ExtraSettings s;
    s.Load(dir.Path().string());
    EXPECT_EQ(s.GetFlag(ShowElevationKey, false), c.showElevation);
    s.SetFlag(ShowElevationKey, true);
    s.Save(dir.Path().string());
    EXPECT_EQ(support::ReadFile(file), c.afterSetOn);
    ExtraSettings again;
    again.Load(dir.Path().string());
    EXPECT_TRUE(again.GetFlag(ShowElevationKey, false));
  }
}

TEST(ExtraSettings, AMissingFileGivesTheDefaultsAndIsMadeOnSave) {
  support::TempDir dir("extra");
  ExtraSettings s;
  s.Set("AzimuthRange", "450");
  s.Load(dir.Path().string()); // forgets what was held
  EXPECT_EQ(s.Get("AzimuthRange", "360"), "360");
  EXPECT_TRUE(s.GetFlag(ShowElevationKey, true));
  EXPECT_FALSE(fs::exists(dir / ExtraSettingsFileName)) << "reading makes no file";
  s.SetFlag(ShowElevationKey, false);
  s.Save(dir.Path().string());
  EXPECT_EQ(support::ReadFile(dir / ExtraSettingsFileName), "ShowElevation=0\n");
}

TEST(ExtraSettings, AFailedWriteRaisesAndLeavesTheOldFileWhole) {
  support::TempDir dir("extra");
  const fs::path file = dir / ExtraSettingsFileName;
  support::WriteFile(file, "ShowElevation=1\n");
  // The temporary's name taken by a folder: no new content can be made.
  fs::create_directory(file.string() + ".new");
  ExtraSettings s;
  s.Load(dir.Path().string());
  s.SetFlag(ShowElevationKey, false);
  EXPECT_THROW(s.Save(dir.Path().string()), EInOutError);
  EXPECT_EQ(support::ReadFile(file), "ShowElevation=1\n");
}

TEST(ExtraSettings, ALineLongerThanTheBoundIsKeptAsNoEntry) {
  support::TempDir dir("extra");
  const std::string longLine = "ShowElevation=1" + std::string(ExtraSettings::MaxLineBytes, ' ');
  support::WriteFile(dir / ExtraSettingsFileName, longLine + "\nOther=2\n");
  ExtraSettings s;
  s.Load(dir.Path().string());
  EXPECT_FALSE(s.GetFlag(ShowElevationKey, false));
  EXPECT_EQ(s.Get("Other", ""), "2");
}

} // namespace
