// The service's reading of the settings file: what it takes, and the
// defaults with a reason for everything it cannot take.
#include "controller/ConfigFile.h"
#include "controller/ExtraSettings.h"
#include "tests/support/Files.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <unistd.h>
#include <string>

namespace {

std::string Lines(std::initializer_list<const char *> lines) {
  std::string s;
  for (const char *l : lines)
    s += std::string(l) + "\r\n";
  return s;
}

TEST(ConfigFile, TakesPortPollAndParkingOrFallsBackToTheDefaultsWithAReason) {
  support::TempDir dir("config");
  const std::string path = (dir.Path() / ConfigFileName).string();
  struct Case {
    const char *name;
    std::optional<std::string> content; // nullopt: no file
    RotorSettings expected;
    const char *why; // a part of the reason; empty: no reason
  } cases[] = {
      {"whole", Lines({"3", "DE", "500", "10", "270", "45", "1", "50", "50"}), {3, 500, 270, 45}, ""},
      {"parking beyond the dial is kept",
       Lines({"3", "DE", "500", "10", "400", "-5", "1", "50", "50"}),
       {3, 500, 400, -5},
       ""},
      {"only the lines it needs", Lines({"2", "", "200", "", "10", "20"}), {2, 200, 10, 20}, ""},
      {"missing", std::nullopt, {}, "no Zelkor_M.ini"},
      {"empty", "", {}, "line 1"},
      {"port not a number", Lines({"x", "EN", "500", "10", "0", "0"}), {}, "line 1 (port number)"},
      {"port 0 would ask a dialog", Lines({"0", "EN", "500", "10", "0", "0"}), {}, "line 1"},
      {"poll period 0 never polls", Lines({"1", "EN", "0", "10", "0", "0"}), {}, "line 3 (poll period)"},
      {"short file", Lines({"1", "EN", "500", "10", "7"}), {}, "line 6 (parking position 2) is missing"},
      {"a line longer than any number",
       Lines({"1", "EN", std::string(5000, '1').c_str(), "10", "0", "0"}),
       {},
       "line 3"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(path);
    if (c.content)
      support::WriteFile(path, *c.content);
    RotorSettings got{9, 9, 9, 9};
    const std::string why = ReadRotorSettings(path, got);
    EXPECT_EQ(got.portNumber, c.expected.portNumber);
    EXPECT_EQ(got.pollInterval, c.expected.pollInterval);
    EXPECT_EQ(got.parkPosition1, c.expected.parkPosition1);
    EXPECT_EQ(got.parkPosition2, c.expected.parkPosition2);
    if (*c.why == 0)
      EXPECT_EQ(why, "");
    else
      EXPECT_NE(why.find(c.why), std::string::npos) << why;
    // Reading never makes or changes the file.
    EXPECT_EQ(std::filesystem::exists(path), c.content.has_value());
    if (c.content) {
      EXPECT_EQ(support::ReadFile(path), *c.content);
    }
  }
}

} // namespace

namespace {

TEST(ExtraSettings, TheRangeIsReadOtherKeysSurviveARewriteAndNothingHalfWrittenStays) {
  support::TempDir dir("extra");
  const std::string d = dir.Path().string();
  const auto file = dir / ExtraSettingsFileName;
  struct Case {
    std::optional<std::string> content; // nullopt: no file
    int range;
    bool complaint;
  } cases[] = {
      {std::nullopt, 360, false},
      {"AzimuthRange=450\n", 450, false},
      {"View=Both\r\n AzimuthRange = 450 \r\n", 450, false},
      {"AzimuthRange=360\n", 360, false},
      {"AzimuthRange=400\n", 360, true},
      {"AzimuthRange=\n", 360, true},
      {"garbage without a key\n", 360, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.content.value_or("(no file)"));
    std::filesystem::remove(file);
    if (c.content)
      support::WriteFile(file, *c.content);
    std::string why;
    EXPECT_EQ(LoadAzimuthRange(d, why), c.range);
    EXPECT_EQ(!why.empty(), c.complaint) << why;
  }

  support::WriteFile(file, "View=Elevation\nAzimuthRange=360\nnot a pair\n");
  ExtraSettings s;
  ASSERT_NO_THROW(s.Load(d));
  EXPECT_EQ(s.Get("View"), "Elevation");
  EXPECT_EQ(s.Get("Missing", "dflt"), "dflt");
  s.Set(AzimuthRangeKey, "450");
  s.Set("Note", "two\nlines"); // can never split into two entries
  ASSERT_NO_THROW(s.Save(d));
  EXPECT_EQ(support::ReadFile(file), "View=Elevation\nAzimuthRange=450\nnot a pair\nNote=two lines\n");
  std::string temporary = ExtraSettingsFileName;
  temporary += ".new";
  EXPECT_FALSE(std::filesystem::exists(dir / temporary));
  std::string why;
  EXPECT_EQ(LoadAzimuthRange(d, why), 450);

  // A folder that cannot be written leaves the old file as it was.
  std::filesystem::permissions(dir.Path(), std::filesystem::perms::owner_write, std::filesystem::perm_options::remove);
  s.Set(AzimuthRangeKey, "360");
  if (::geteuid() != 0) {
    EXPECT_ANY_THROW(s.Save(d));
  }
  std::filesystem::permissions(dir.Path(), std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
  if (::geteuid() != 0) {
    EXPECT_EQ(LoadAzimuthRange(d, why), 450);
  }
}

} // namespace
