// The JPEG reader and writer, the built-in dials, text files and the error
// display's text rule.
#include "app/Application.h"
#include "app/DialPictures.h"
#include "app/JpegImage.h"
#include "controller/TextFiles.h"
#include "runtime/SysUtils.h"
#include "tests/support/Files.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <QPainter>
#include <jpeglib.h>
#include <jerror.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;
using support::ReadFile;
using support::TempDir;

namespace {

std::string DataDir() {
  const char *d = std::getenv("ZK_DATA_DIR");
  return d ? d : "data";
}

std::vector<unsigned char> ReadBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int Distance(QRgb a, QRgb b) {
  return std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) + std::abs(qBlue(a) - qBlue(b));
}

TEST(Jpeg, RoundTripKeepsSizeAndColours) {
  QImage img(64, 48, QImage::Format_RGB32);
  img.fill(QColor(200, 40, 30));
  {
    QPainter p(&img);
    p.fillRect(32, 0, 32, 48, QColor(20, 60, 220));
  }
  const std::vector<unsigned char> bytes = EncodeJpeg(img, 95);
  ASSERT_GT(bytes.size(), 100u);
  EXPECT_EQ(bytes[0], 0xFF);
  EXPECT_EQ(bytes[1], 0xD8);
  const QImage back = DecodeJpeg(bytes.data(), bytes.size());
  ASSERT_EQ(back.size(), img.size());
  EXPECT_LT(Distance(back.pixel(8, 24), qRgb(200, 40, 30)), 30);
  EXPECT_LT(Distance(back.pixel(56, 24), qRgb(20, 60, 220)), 30);
}

TEST(Jpeg, DamagedDataIsRefused) {
  const std::vector<unsigned char> good = ReadBytes(DataDir() + "/Windrose_AZ.jpg");
  ASSERT_GT(good.size(), 1000u);
  std::vector<unsigned char> garbage(good.size(), 0x5A);
  std::vector<unsigned char> truncated(good.begin(), good.begin() + good.size() / 2);
  std::vector<unsigned char> headerOnly(good.begin(), good.begin() + 20);
  for (const auto *bytes : {&garbage, &truncated, &headerOnly}) {
    try {
      DecodeJpeg(bytes->data(), bytes->size());
      ADD_FAILURE() << "decoded " << bytes->size() << " damaged bytes";
    } catch (const Exception &e) {
      EXPECT_EQ(e.Message().rfind("JPEG-Fehler #", 0), 0u) << e.Message();
    }
  }
  EXPECT_THROW(DecodeJpeg(nullptr, 0), Exception);
}

// A picture whose header claims another size; the data stays that of a
// small picture, so nothing past the header decodes.
std::vector<unsigned char> WithClaimedSize(unsigned width, unsigned height) {
  std::vector<unsigned char> bytes = EncodeJpeg(QImage(16, 16, QImage::Format_RGB32));
  for (std::size_t i = 0; i + 9 < bytes.size(); ++i)
    if (bytes[i] == 0xFF && bytes[i + 1] == 0xC0) { // start of frame: height, then width
      bytes[i + 5] = static_cast<unsigned char>(height >> 8);
      bytes[i + 6] = static_cast<unsigned char>(height & 0xFF);
      bytes[i + 7] = static_cast<unsigned char>(width >> 8);
      bytes[i + 8] = static_cast<unsigned char>(width & 0xFF);
      return bytes;
    }
  ADD_FAILURE() << "no frame header";
  return bytes;
}

std::string Refusal(const std::vector<unsigned char> &bytes) {
  try {
    DecodeJpeg(bytes.data(), bytes.size());
    return "decoded";
  } catch (const Exception &e) {
    return e.Message();
  }
}

TEST(Jpeg, PicturesLargerThan4096ASideAreRefusedFromTheirHeader) {
  const std::string tooBig = "JPEG-Fehler #" + std::to_string(JERR_IMAGE_TOO_BIG);
  // Real pictures at the limit decode.
  for (QSize size : {QSize(4096, 1), QSize(1, 4096)}) {
    QImage img(size, QImage::Format_RGB32);
    img.fill(Qt::white);
    const std::vector<unsigned char> bytes = EncodeJpeg(img);
    EXPECT_EQ(DecodeJpeg(bytes.data(), bytes.size()).size(), size);
  }
  // One more pixel, real or only claimed, is refused as too big: the data
  // behind the header is never looked at.
  for (QSize size : {QSize(4097, 1), QSize(1, 4097)}) {
    QImage img(size, QImage::Format_RGB32);
    img.fill(Qt::white);
    EXPECT_EQ(Refusal(EncodeJpeg(img)), tooBig) << size.width() << "x" << size.height();
  }
  for (auto [w, h] : {std::pair{4097u, 16u}, {16u, 4097u}, {30000u, 30000u}, {65535u, 65535u}})
    EXPECT_EQ(Refusal(WithClaimedSize(w, h)), tooBig) << w << "x" << h;
  // A claim within the limit is decoded, and fails only on the missing data.
  const std::string within = Refusal(WithClaimedSize(4096, 4096));
  EXPECT_NE(within, tooBig);
  EXPECT_EQ(within.rfind("JPEG-Fehler #", 0), 0u) << within;

  // The same from a file.
  TempDir dir;
  const std::vector<unsigned char> huge = WithClaimedSize(30000, 30000);
  {
    std::ofstream out(dir / "big.jpg", std::ios::binary);
    out.write(reinterpret_cast<const char *>(huge.data()), std::streamsize(huge.size()));
  }
  try {
    LoadJpegFile(dir / "big.jpg");
    ADD_FAILURE() << "loaded";
  } catch (const Exception &e) {
    EXPECT_EQ(e.Message(), tooBig);
  }
}

TEST(Jpeg, MissingFileNamesFileAndReason) {
  TempDir dir;
  const std::string name = dir / "Windrose_AZ.jpg";
  try {
    LoadJpegFile(name);
    FAIL() << "no error";
  } catch (const Exception &e) {
    EXPECT_EQ(e.Message(), "Datei " + name + " kann nicht geöffnet werden. No such file or directory");
  }
}

TEST(Jpeg, DialPicturesAre200By200) {
  const QImage az = BuiltinAzimuthDial();
  const QImage el = BuiltinElevationDial();
  const QImage rose = LoadJpegFile(DataDir() + "/Windrose_AZ.jpg");
  EXPECT_EQ(az.size(), QSize(200, 200));
  EXPECT_EQ(el.size(), QSize(200, 200));
  EXPECT_EQ(rose.size(), QSize(200, 200));
  // The compiled-in azimuth dial is the one kept in data/.
  const std::vector<unsigned char> file = ReadBytes(DataDir() + "/Dial_AZ.jpg");
  const DialJpeg builtin = AzimuthDialJpeg();
  ASSERT_EQ(builtin.size, file.size());
  EXPECT_TRUE(std::equal(file.begin(), file.end(), builtin.data));
  // The picture loaded at run time is told apart from the built-in one by its ground.
  EXPECT_GT(Distance(az.pixel(2, 2), rose.pixel(2, 2)), 20);
}

TEST(TextFiles, LineEnds) {
  TempDir dir;
  struct Case {
    std::string content;
    std::vector<std::string> lines;
  } cases[] = {
      {"", {}},       {"a\r\nb\r\n", {"a", "b"}},         {"a\nb", {"a", "b"}}, {"a\rb\r\n\r\nc", {"a", "b", "", "c"}},
      {"\r\n", {""}}, {"EN;02;Ende\r\n", {"EN;02;Ende"}},
  };
  for (const Case &c : cases) {
    {
      std::ofstream out(dir / "t.txt", std::ios::binary | std::ios::trunc);
      out << c.content;
    }
    std::vector<std::string> lines;
    for (const TextLine &l : ReadTextLines(dir / "t.txt", 100, 100))
      lines.push_back(l.text);
    EXPECT_EQ(lines, c.lines) << c.content;
  }
}

void Write(const std::string &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

TEST(TextFiles, LongLinesAreCutAndMarked) {
  TempDir dir;
  const std::string huge(10'000'000, '7');
  // Line ends just after a read piece ends and split across two pieces.
  const std::string atBoundary(65535, 'b');
  struct Case {
    const char *name;
    std::string content;
    std::vector<std::pair<std::string, bool>> lines;
  } cases[] = {
      {"short lines", "1\r\nEN\r\n", {{"1", false}, {"EN", false}}},
      {"exactly the limit", std::string(8, 'x') + "\n", {{std::string(8, 'x'), false}}},
      {"one over", std::string(9, 'x') + "\n", {{std::string(8, 'x'), true}}},
      {"10 MB line between short ones", "1\r\n" + huge + "\r\n3", {{"1", false}, {"77777777", true}, {"3", false}}},
      {"10 MB line without an end", huge, {{"77777777", true}}},
      {"CR LF split between pieces", atBoundary + "\r\nz", {{"bbbbbbbb", true}, {"z", false}}},
      {"lone CR at a piece's end", std::string(65535, 'c') + "\r" + "\r\n", {{"cccccccc", true}, {"", false}}},
  };
  for (const Case &c : cases) {
    Write(dir / "t.txt", c.content);
    std::vector<std::pair<std::string, bool>> got;
    ForEachTextLine(dir / "t.txt", 8, [&](const TextLine &l) {
      got.emplace_back(l.text, l.cut);
      return true;
    });
    EXPECT_EQ(got, c.lines) << c.name;
  }
}

TEST(TextFiles, ReadingStopsAfterTheLinesAsked) {
  TempDir dir;
  std::string content;
  for (int i = 0; i < 20; ++i)
    content += std::to_string(i) + "\r\n";
  Write(dir / "t.txt", content);
  const std::vector<TextLine> nine = ReadTextLines(dir / "t.txt", 9, 100);
  ASSERT_EQ(nine.size(), 9u);
  EXPECT_EQ(nine[8].text, "8");
  EXPECT_TRUE(ReadTextLines(dir / "t.txt", 0, 100).empty());
  // A visitor that stops ends the reading.
  int seen = 0;
  ForEachTextLine(dir / "t.txt", 100, [&](const TextLine &) { return ++seen < 3; });
  EXPECT_EQ(seen, 3);
  EXPECT_THROW(ReadTextLines(dir / "missing.txt", 9, 100), EInOutError);
}

TEST(TextFiles, WriteReplacesWholeFileWithCrLfLines) {
  TempDir dir;
  {
    std::ofstream out(dir / "c.ini", std::ios::binary);
    out << "old content that is longer than the new one\r\n";
  }
  WriteTextLines(dir / "c.ini", {"1", "EN", "-5"});
  EXPECT_EQ(ReadFile(dir / "c.ini"), "1\r\nEN\r\n-5\r\n");
  EXPECT_FALSE(fs::exists(dir / "c.ini.new"));
}

TEST(TextFiles, FailedWriteLeavesTheOldFile) {
  TempDir dir;
  // A directory where the file should go cannot be replaced.
  fs::create_directory(dir / "c.ini");
  EXPECT_THROW(WriteTextLines(dir / "c.ini", {"1"}), EInOutError);
  EXPECT_TRUE(fs::is_directory(dir / "c.ini"));
  EXPECT_FALSE(fs::exists(dir / "c.ini.new"));
  EXPECT_THROW(WriteTextLines(dir / "no/such/dir.ini", {"1"}), EInOutError);
}

// Where no file can be made beside the target, the target is overwritten
// in place. A directory in the temporary file's place stands in for a
// folder closed to us: it stops the temporary file even for root.
TEST(TextFiles, WithoutATemporaryFileTheFileIsOverwrittenInPlace) {
  TempDir dir;
  Write(dir / "c.ini", "old content that is longer than the new one\r\n");
  fs::create_directory(dir / "c.ini.new");
  WriteTextLines(dir / "c.ini", {"1", "EN"});
  EXPECT_EQ(ReadFile(dir / "c.ini"), "1\r\nEN\r\n");
  EXPECT_TRUE(fs::is_directory(dir / "c.ini.new"));

  // Nothing to overwrite either: the failure to create is reported.
  fs::create_directory(dir / "other.ini.new");
  try {
    WriteTextLines(dir / "other.ini", {"1"});
    ADD_FAILURE() << "no error";
  } catch (const EInOutError &e) {
    EXPECT_EQ(e.Message().rfind("Datei " + (dir / "other.ini").string() + " kann nicht erstellt werden.", 0), 0u)
        << e.Message();
  }
  EXPECT_FALSE(fs::exists(dir / "other.ini"));
}

TEST(TextFiles, ReadOnlyFolderWithAWritableFile) {
  if (geteuid() == 0)
    GTEST_SKIP() << "root writes into read-only folders; the in-place path is covered by "
                    "WithoutATemporaryFileTheFileIsOverwrittenInPlace";
  TempDir dir;
  Write(dir / "c.ini", "old\r\n");
  Write(dir / "locked.ini", "kept\r\n");
  chmod((dir / "locked.ini").c_str(), 0444);
  chmod(dir.Path().c_str(), 0555);
  WriteTextLines(dir / "c.ini", {"1", "EN"});
  EXPECT_EQ(ReadFile(dir / "c.ini"), "1\r\nEN\r\n");
  // Folder and file both closed: refused, the old content stays.
  EXPECT_THROW(WriteTextLines(dir / "locked.ini", {"new"}), EInOutError);
  EXPECT_EQ(ReadFile(dir / "locked.ini"), "kept\r\n");
  EXPECT_THROW(WriteTextLines(dir / "absent.ini", {"new"}), EInOutError);
  chmod(dir.Path().c_str(), 0755);
  EXPECT_FALSE(fs::exists(dir / "c.ini.new"));
  EXPECT_FALSE(fs::exists(dir / "absent.ini"));
}

TEST(ErrorDisplay, FullStopAfterCharactersThatSortAfterIt) {
  struct Case {
    const char *message;
    const char *shown;
  } cases[] = {{"Fehler", "Fehler."}, {"Fehler.", "Fehler."}, {"Fehler!", "Fehler!"}, {"(x)", "(x)"},         {"", ""},
               {"Wert 5", "Wert 5."}, {"Ende -", "Ende -"},   {"a/", "a/."},          {"Größe ü", "Größe ü."}};
  for (const Case &c : cases)
    EXPECT_EQ(ExceptionDisplayText(QString::fromUtf8(c.message)), QString::fromUtf8(c.shown)) << c.message;
  EXPECT_EQ(ExceptionDisplayText(EConvertError(InvalidIntegerText("x"))),
            QString::fromUtf8("'x' ist kein gültiger Integerwert."));
}

} // namespace
