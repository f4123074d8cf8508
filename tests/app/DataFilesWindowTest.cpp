// What the window takes from its data files: texts shown as they stand
// (never as markup), 8-bit language files, the dial picture's size limit, a
// saved position off every screen, and saving where the folder is closed.
#include "WindowSupport.h"

#include <gtest/gtest.h>

#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTextDocument>
#include <QComboBox>

#include <jpeglib.h>
#include <jerror.h>

namespace {

class DataFiles : public ::testing::Test, public WindowFixture {
protected:
  void SetUp() override {
    // The port is missing: only the files matter here.
    fs::create_symlink(dir / "no-such-device", dir / "COM1");
    SetConfig(CrLf({"1", "EN", "1000", "10", "0", "0", "1", "50", "50"}));
  }
  void TearDown() override { form.reset(); }
};

// The text a user sees for a hint: Qt renders a hint that looks like markup
// as rich text.
QString ShownHint(const QString &hint) {
  if (!Qt::mightBeRichText(hint))
    return hint;
  QTextDocument doc;
  doc.setHtml(hint);
  return doc.toPlainText();
}

TEST_F(DataFiles, MarkupInTheLanguageFileShowsAsItStands) {
  const std::string markup = "<h1>x</h1><a href=\"http://example.invalid\">y</a>";
  std::string file;
  for (const char *n : {"01", "02", "04", "05", "07", "08"})
    file += "EN;" + std::string(n) + ";" + markup + "\r\n";
  WriteFile(dir / "Zelkor_M_language.csv", file);
  const QString literal = QString::fromStdString(markup);
  Create();
  EXPECT_EQ(form->Label2->text(), literal);
  EXPECT_EQ(form->Label2->textFormat(), Qt::PlainText);
  EXPECT_EQ(form->Button1->text(), literal);
  EXPECT_EQ(form->GroupBox3->title(), literal + " 1");
  EXPECT_EQ(ShownHint(FieldWidget(form->PBNumEdit3)->toolTip()), literal + " 1");
  EXPECT_EQ(ShownHint(FieldWidget(form->PBNumEdit4)->toolTip()), literal + " 2");
  // Plain hints are left as they are.
  EXPECT_EQ(FieldWidget(form->PBNumEdit1)->toolTip(), "Position 1");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Port COM1" + literal);

  // The boxes themselves: the real message box, read while it is open.
  SetMessageBoxHandler(nullptr);
  Qt::TextFormat format = Qt::AutoText;
  QString shown;
  QTimer::singleShot(0, form.get(), [&] {
    RunEventsUntil([] { return qobject_cast<QMessageBox *>(QApplication::activeModalWidget()) != nullptr; }, 5000ms);
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (box == nullptr)
      return;
    format = box->textFormat();
    shown = box->text();
    box->accept();
  });
  form->ComboBox3->setEditText("<b>fast</b>");
  EXPECT_EQ(format, Qt::PlainText);
  EXPECT_EQ(shown, literal + " \"<b>fast</b>\" !");
}

TEST_F(DataFiles, EightBitLanguageFileKeepsItsPunctuation) {
  SetConfig(CrLf({"1", "DE", "1000", "10", "0", "0", "1", "50", "50"}));
  WriteFile(dir / "Zelkor_M_language.csv", "DE;02;Ende \x96 \x84gut\x93\r\n"
                                           "DE;05;Hand\xE4nderung \x85\r\n"
                                           "DE;07;Parkposition \x80 \x91"
                                           "1\x92\r\n");
  Create();
  EXPECT_TRUE(Complaints().empty());
  EXPECT_EQ(form->Button1->text(), QString::fromUtf8("Ende – „gut“"));
  EXPECT_EQ(form->GroupBox3->title(), QString::fromUtf8("Handänderung … 1"));
  EXPECT_EQ(FieldWidget(form->PBNumEdit3)->toolTip(), QString::fromUtf8("Parkposition € ‘1’ 1"));

  // A file that is all UTF-8 is read as UTF-8.
  form.reset();
  WriteFile(dir / "Zelkor_M_language.csv", "DE;02;Ende – „gut“\r\n");
  Create();
  EXPECT_EQ(form->Button1->text(), QString::fromUtf8("Ende – „gut“"));
}

TEST_F(DataFiles, DialPictureBeyond4096PixelsIsRefusedAsUnreadable) {
  const std::string tooBig = "JPEG-Fehler #" + std::to_string(JERR_IMAGE_TOO_BIG);
  // A small real picture whose header claims 30000 x 30000.
  std::vector<unsigned char> bytes = EncodeJpeg(QImage(16, 16, QImage::Format_RGB32));
  for (std::size_t i = 0; i + 9 < bytes.size(); ++i)
    if (bytes[i] == 0xFF && bytes[i + 1] == 0xC0) {
      bytes[i + 5] = bytes[i + 7] = 30000 >> 8;
      bytes[i + 6] = bytes[i + 8] = 30000 & 0xFF;
      break;
    }
  WriteFile(dir / "Windrose_AZ.jpg", std::string(bytes.begin(), bytes.end()));
  Create();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text.toStdString(), tooBig + ".");
  // As for any unreadable picture: the built-in dial stays, the rest of the
  // start is skipped.
  EXPECT_EQ(form->Image1->Picture().pixel(2, 2), BuiltinAzimuthDial().pixel(2, 2));
  EXPECT_EQ(form->Image1->size(), QSize(200, 200));
  EXPECT_EQ(form->ApdComPort1.ComNumber(), 0);

  // At the limit the picture is taken, and the window grows with it.
  form.reset();
  boxes.clear();
  QImage wide(4096, 8, QImage::Format_RGB32);
  wide.fill(Qt::gray);
  const std::vector<unsigned char> limit = EncodeJpeg(wide);
  WriteFile(dir / "Windrose_AZ.jpg", std::string(limit.begin(), limit.end()));
  Create();
  EXPECT_TRUE(Complaints().empty());
  EXPECT_EQ(form->Image1->size(), QSize(4096, 8));
}

TEST_F(DataFiles, PositionOffEveryScreenIsShownOnTheNearestAndSavedAsRead) {
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  struct Case {
    const char *name;
    const char *left, *top;
  } cases[] = {
      {"far right and below", "32767", "32767"},
      {"far left and above", "-32768", "-32768"},
      {"largest numbers", "2147483647", "2147483647"},
      {"smallest numbers", "-2147483648", "-2147483648"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = CrLf({"1", "EN", "1000", "10", "0", "0", "1", c.left, c.top});
    SetConfig(file);
    Create();
    EXPECT_TRUE(screen.contains(form->frameGeometry()))
        << form->frameGeometry().x() << "," << form->frameGeometry().y();
    // Saved as read while the window stays where it was put, through any
    // number of saves and reloads.
    form->ComboBox3->setEditText("2000");
    EXPECT_TRUE(screen.contains(form->frameGeometry()));
    EXPECT_TRUE(form->close());
    EXPECT_EQ(Config(), CrLf({"1", "EN", "2000", "10", "0", "0", "1", c.left, c.top}));
    // Once the user moves it, its new place is saved.
    form->show();
    form->move(screen.topLeft() + QPoint(30, 40));
    EXPECT_TRUE(form->close());
    EXPECT_EQ(Config(), CrLf({"1", "EN", "2000", "10", "0", "0", "1", std::to_string(screen.x() + 30).c_str(),
                              std::to_string(screen.y() + 40).c_str()}));
    form.reset();
  }
  // A position on the screen is kept exactly.
  SetConfig(CrLf({"1", "EN", "1000", "10", "0", "0", "1", "60", "70"}));
  Create();
  EXPECT_EQ(form->pos(), QPoint(60, 70));
}

TEST_F(DataFiles, SettingsAreSavedInPlaceWhenNoFileCanBeMadeBesideThem) {
  // A directory in the temporary file's place: nothing can be made beside
  // the settings file, as in a folder the user may not write.
  fs::create_directory(dir / "Zelkor_M.ini.new");
  Create();
  form->ComboBox3->setEditText("2000");
  EXPECT_TRUE(Complaints().empty()) << Complaints()[0].text.toStdString();
  EXPECT_EQ(Config(), CrLf({"1", "EN", "2000", "10", "0", "0", "1", "50", "50"}));
  EXPECT_EQ(form->Timer1->Interval(), 2000);
}

} // namespace
