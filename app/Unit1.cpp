#include "app/Unit1.h"

#include "controller/ExtraSettings.h"

#include "app/Application.h"
#include "app/DialGeometry.h"
#include "app/DialPictures.h"
#include "app/JpegImage.h"
#include "app/NumEditFields.h"
#include "app/PortHints.h"
#include "app/ShownTexts.h"
#include "controller/TextFiles.h"
#include "app/WindowPlacement.h"
#include "app/WindowStyle.h"
#include "controller/ConfigFile.h"
#include "controller/ExtraSettings.h"
#include "runtime/SysUtils.h"

#include <QAction>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <thread>

namespace {

const char *const LanguageFileName = "Zelkor_M_language.csv";
const char *const DialFileName = "Windrose_AZ.jpg";

// What is kept of a language line: 6 characters and at most 100 of text,
// each at most 3 bytes of UTF-8 per UTF-16 unit, with room to spare.
constexpr std::size_t LanguageLineBytes = 512;
// A cut line keeps more than a message quotes, so its quote ends in "...".
static_assert(ConfigLineBytes > std::size_t(QuotedLength) * 4 + 4);

std::string Decimal(int32_t v) { return std::to_string(v); }

// A whole number from a file's line or a box's text. The message quotes no
// more than the start of the text: a line may be megabytes long.
int32_t NumberOf(const std::string &text, bool cut = false) {
  int32_t v = 0;
  if (!cut && TryStrToInt(text, v))
    return v;
  throw EConvertError(InvalidIntegerText(QuoteForMessage(std::string_view(text)).toStdString()));
}

int32_t NumberOf(const TextLine &line) { return NumberOf(line.text, line.cut); }

int32_t NumberOf(const QString &text) { return NumberOf(text.toStdString()); }

QList<QRect> ScreenAreas() {
  QList<QRect> areas;
  for (const QScreen *screen : QGuiApplication::screens())
    areas.push_back(screen->availableGeometry());
  return areas;
}

QFont DialogFont() {
  QFont f(QStringLiteral("MS Sans Serif"));
  f.setStyleHint(QFont::SansSerif);
  f.setPixelSize(11);
  return f;
}

} // namespace

// Paints the needles over the dials. It lies over the whole window,
// lets the pointer through, and keeps the needle until the next report.
class NeedleLayer : public QWidget {
public:
  NeedleLayer(TForm1 *form) : QWidget(form), form_(form) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
  }

  void Set(QPoint centre, QPoint end) {
    centre_ = centre;
    end_ = end;
    shown_ = true;
    update();
  }

protected:
  void paintEvent(QPaintEvent *) override {
    QPainter p(this);
    if (shown_ && form_->Image1->isVisible())
      Needle(p, centre_, end_);
    if (form_->ElevationNeedleShown())
      Needle(p, form_->ElevationNeedleCentre(), form_->ElevationNeedleTip());
  }

private:
  void Needle(QPainter &p, QPoint centre, QPoint end) {
    // The ring first: it wipes out the last needle.
    p.setPen(QPen(palette().color(QPalette::Highlight), 3, Qt::SolidLine));
    p.setBrush(Qt::white);
    p.drawEllipse(QRect(centre.x() - 30, centre.y() - 30, 60, 60));
    p.setPen(QPen(QColor(0, 128, 0), 3, Qt::SolidLine));
    p.drawLine(centre, end);
  }

private:
  TForm1 *form_;
  QPoint centre_;
  QPoint end_;
  bool shown_ = false;
};

TForm1::TForm1(QWidget *parent) : QWidget(parent) {
  Pause = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
  // quit() would first ask the window to close, and a close handler whose
  // gather fails refuses; "Exit" ends the program all the same.
  Terminate = [] { QCoreApplication::exit(0); };
  BuildControls();
  Guarded([this] { FormCreate(); });
}

TForm1::~TForm1() {
  Guarded([this] { FormDestroy(); });
  for (QObject *child : children())
    child->removeEventFilter(this);
  needleLayer_ = nullptr;
  Controller.disconnect(this);
  Timer1->SetEnabled(false);
  ApdComPort1.OnTriggerAvail = nullptr;
  Guarded([this] { Controller.ClosePort(); });
}

void TForm1::BuildControls() {
  setWindowTitle(QStringLiteral("Zelkor G V1.0"));
  setGeometry(508, 152, 413, 526);
  setFont(DialogFont());
  setAutoFillBackground(true);

  // Captions may come from the language file: never taken for markup.
  auto label = [](QWidget *parent, int x, int y, const QString &caption) {
    auto *l = new QLabel(caption, parent);
    l->setTextFormat(Qt::PlainText);
    l->move(x, y);
    l->adjustSize();
    return l;
  };
  auto button = [](QWidget *parent, QRect r, const QString &caption, const QString &hint) {
    auto *b = new QPushButton(caption, parent);
    b->setGeometry(r);
    b->setToolTip(hint);
    return b;
  };
  auto combo = [](QWidget *parent, QRect r, const QStringList &items, const QString &hint) {
    auto *c = new QComboBox(parent);
    c->setStyle(ComboBoxStyle());
    c->setEditable(true);
    c->setCompleter(nullptr);
    c->setInsertPolicy(QComboBox::NoInsert);
    c->addItems(items);
    c->setCurrentIndex(-1);
    c->setGeometry(r);
    c->setToolTip(hint);
    return c;
  };
  auto positionFont = [](QLabel *l) {
    QFont f = l->font();
    f.setBold(true);
    f.setPixelSize(16);
    l->setFont(f);
    QPalette pal = l->palette();
    pal.setColor(QPalette::WindowText, QColor(0, 128, 0));
    // Greyed while the device is away, so an old position is not taken
    // for the real one.
    pal.setColor(QPalette::Disabled, QPalette::WindowText, QColor(150, 150, 150));
    l->setPalette(pal);
    l->adjustSize();
  };

  Image2 = new TImage(this);
  Image2->move(205, 96);
  Image2->SetPicture(BuiltinElevationDial());
  Image2->setToolTip(QStringLiteral("Click any position to move"));
  Image2->OnClick = [this] { Image2Click(); };
  Image2->OnMouseMove = [this](int x, int y) { Image2MouseMove(x, y); };

  Label4 = new QLabel(this);
  Label4->setTextFormat(Qt::PlainText);
  Label4->setGeometry(25, 20, 3, 13);

  Label7 = label(this, 205, 96, QStringLiteral("0"));
  positionFont(Label7);

  Image1 = new TImage(this);
  Image1->move(0, 61);
  Image1->SetPicture(BuiltinAzimuthDial());
  Image1->setToolTip(QStringLiteral("Click any position to move"));
  Image1->OnClick = [this] { Image1Click(); };
  Image1->OnMouseMove = [this](int x, int y) { Image1MouseMove(x, y); };

  Label6 = label(this, 0, 61, QStringLiteral("0"));
  positionFont(Label6);

  GroupBox2 = new QGroupBox(QStringLiteral("Configuration"), this);
  GroupBox2->setGeometry(0, 0, 201, 61);
  Label1 = label(GroupBox2, 5, 20, QStringLiteral("Comport"));
  Label2 = label(GroupBox2, 0, 75, QStringLiteral("Language"));
  Label2->setVisible(false);
  Label13 = label(GroupBox2, 6, 40, QStringLiteral("Pollrate"));
  QStringList ports;
  for (int i = 1; i <= 32; ++i)
    ports << QString::number(i);
  // 54 px rather than 51, with a narrower drop-down button: "1000" in the
  // default sans font needs that room.
  ComboBox1 = combo(GroupBox2, QRect(55, 15, 54, 21), ports, QStringLiteral("COM1..COM32"));
  ComboBox2 = combo(GroupBox2, QRect(55, 70, 54, 21), {"EN", "DE", "FR"}, QStringLiteral("DE EN FR"));
  ComboBox2->setEditText(QStringLiteral("Language"));
  ComboBox2->setVisible(false);
  ComboBox3 = combo(GroupBox2, QRect(55, 35, 54, 21), {"200", "500", "1000", "2000", "5000"},
                    QStringLiteral("Pollrate 200..5000 ms"));
  Button1 = button(GroupBox2, QRect(121, 10, 75, 25), QStringLiteral("Exit"), QStringLiteral("EXIT"));

  GroupBox3 = new QGroupBox(QStringLiteral("Manual 1"), this);
  GroupBox3->setGeometry(42, 265, 116, 105);
  Button5 = button(GroupBox3, QRect(35, 15, 45, 25), QStringLiteral("STOP"), QStringLiteral("STOP 1"));
  Button9 = button(GroupBox3, QRect(5, 15, 26, 25), QStringLiteral("|<<"), QStringLiteral("CCW/DOWN 1"));
  Button11 = button(GroupBox3, QRect(85, 15, 26, 25), QStringLiteral(">>|"), QStringLiteral("CW/UP 1"));
  Button2 = button(GroupBox3, QRect(35, 45, 45, 25), QStringLiteral("GO"), QStringLiteral("GO 1"));
  PBNumEdit1 = CreateNumEdit(GroupBox3, QRect(5, 48, 26, 21), QStringLiteral("Position 1"), 0, true);
  PBNumEdit3 = CreateNumEdit(GroupBox3, QRect(5, 77, 26, 21), QStringLiteral("Parking Position 1"), 359, false);
  Button8 = button(GroupBox3, QRect(35, 75, 45, 25), QStringLiteral("PARK"), QStringLiteral("PARK 1"));

  GroupBox4 = new QGroupBox(QStringLiteral("Manual 1+2"), this);
  GroupBox4->setGeometry(162, 300, 81, 106);
  Button6 = button(GroupBox4, QRect(5, 15, 71, 25), QStringLiteral("STOP 1+2"), QStringLiteral("STOP 1+2"));
  Button4 = button(GroupBox4, QRect(5, 45, 71, 25), QStringLiteral("GO 1+2"), QStringLiteral("GO 1+2"));
  Button10 = button(GroupBox4, QRect(6, 75, 70, 25), QStringLiteral("PARK 1+2"), QStringLiteral("PARK 1+2"));

  GroupBox5 = new QGroupBox(QStringLiteral("Manual 2"), this);
  GroupBox5->setGeometry(247, 300, 116, 105);
  Button7 = button(GroupBox5, QRect(35, 15, 45, 25), QStringLiteral("STOP 2"), QStringLiteral("STOP 2"));
  Button12 = button(GroupBox5, QRect(5, 15, 26, 25), QStringLiteral("|<<"), QStringLiteral("CCW/DWN 2"));
  Button13 = button(GroupBox5, QRect(85, 15, 26, 25), QStringLiteral(">>|"), QStringLiteral("CW/UP 2"));
  Button3 = button(GroupBox5, QRect(35, 45, 45, 25), QStringLiteral("GO 2"), QStringLiteral("GO 2"));
  PBNumEdit2 = CreateNumEdit(GroupBox5, QRect(85, 48, 26, 21), QStringLiteral("Position 2"), 0, true);
  PBNumEdit4 = CreateNumEdit(GroupBox5, QRect(85, 77, 26, 21), QStringLiteral("Parking Position 2"), 180, false);
  Button14 = button(GroupBox5, QRect(35, 75, 45, 25), QStringLiteral("PARK 2"), QStringLiteral("PARK 2"));

  Memo1 = new QPlainTextEdit(this);
  Memo1->setGeometry(0, 410, 401, 89);
  Memo1->setPlainText(QStringLiteral("Memo1"));
  Memo1->setMaximumBlockCount(TraceLineLimit);

  ApdComPort1.SetTraceName("Korvu.TRC");
  ApdComPort1.SetLogName("Korvu.LOG");
  ApdComPort1.OnTriggerAvail = [this](TApdCustomComPort &, uint16_t count) { ApdComPort1TriggerAvail(count); };

  Timer1->OnTimer = [this] { Timer1Timer(); };
  ReconnectTimer->OnTimer = [this] { Guarded([this] { ReconnectTimerTimer(); }); };
  connect(&Controller, &TRotorController::Traced, this, [this](const controller::Reply &reply) { Trace(reply); });
  connect(&Controller, &TRotorController::Reported, this, [this] { ReportShown(); });
  connect(&Controller, &TRotorController::Lost, this, [this] { DeviceGone(); });
  connect(&Controller, &TRotorController::Back, this, [this] { WaitForDevice(false); });
  connect(&Controller, &TRotorController::StallStopped, this, [this] { Guarded([this] { StallMessage(); }); });
  connect(&Controller, &TRotorController::ElevationStallStopped, this,
          [this] { Guarded([this] { ElevationStallMessage(); }); });
  // A network target shows in the position fields, as a typed one would.
  connect(&Controller, &TRotorController::TargetTaken, this, [this](int position1, int position2) {
    SetFieldValue(PBNumEdit1, position1);
    SetFieldValue(PBNumEdit2, position2);
  });

  // Tab order: group by group, inside each group as created.
  QWidget *order[] = {ComboBox1,
                      ComboBox2,
                      ComboBox3,
                      Button1,
                      Button5,
                      Button9,
                      Button11,
                      Button2,
                      FieldWidget(PBNumEdit1),
                      FieldWidget(PBNumEdit3),
                      Button8,
                      Button6,
                      Button4,
                      Button10,
                      Button7,
                      Button12,
                      Button13,
                      Button3,
                      FieldWidget(PBNumEdit2),
                      FieldWidget(PBNumEdit4),
                      Button14,
                      Memo1};
  for (std::size_t i = 1; i < std::size(order); ++i)
    QWidget::setTabOrder(order[i - 1], order[i]);

  auto click = [this](QPushButton *b, void (TForm1::*handler)()) {
    connect(b, &QPushButton::clicked, this, [this, handler] { Guarded([&] { (this->*handler)(); }); });
  };
  click(Button1, &TForm1::Button1Click);
  click(Button2, &TForm1::Button2Click);
  click(Button3, &TForm1::Button3Click);
  click(Button4, &TForm1::Button4Click);
  click(Button5, &TForm1::Button5Click);
  click(Button6, &TForm1::Button6Click);
  click(Button7, &TForm1::Button7Click);
  click(Button8, &TForm1::Button8Click);
  click(Button9, &TForm1::Button9Click);
  click(Button10, &TForm1::Button10Click);
  click(Button11, &TForm1::Button11Click);
  click(Button12, &TForm1::Button12Click);
  click(Button13, &TForm1::Button13Click);
  click(Button14, &TForm1::Button14Click);

  // Only the user's picks and typing change the text with signals on; the
  // program's own selections block them.
  auto change = [this](QComboBox *box, void (TForm1::*handler)()) {
    connect(box, &QComboBox::editTextChanged, this, [this, handler] { Guarded([&] { (this->*handler)(); }); });
  };
  change(ComboBox1, &TForm1::ComboBox1Change);
  BuildPortChoice();
  change(ComboBox2, &TForm1::ComboBox2Change);
  change(ComboBox3, &TForm1::ComboBox3Change);

  SetFieldExit(PBNumEdit3, [this] { Guarded([this] { PBNumEdit3Exit(); }); });
  SetFieldExit(PBNumEdit4, [this] { Guarded([this] { PBNumEdit4Exit(); }); });

  setWindowIcon(QIcon(QPixmap::fromImage(Image1->Picture())));

  ViewMenu = new QMenu(this);
  ShowElevationAction = ViewMenu->addAction(QStringLiteral("Show elevation"));
  ShowElevationAction->setCheckable(true);
  connect(ShowElevationAction, &QAction::triggered, this,
          [this](bool on) { Guarded([this, on] { SetShowElevation(on); }); });

  needleLayer_ = new NeedleLayer(this);
  needleLayer_->setGeometry(rect());
  needleLayer_->raise();

  ApplyTraceView();
  for (QObject *child : children())
    if (child->isWidgetType() && child != needleLayer_)
      child->installEventFilter(this);
}

// ------------------------------------------------------------ window size

bool TForm1::eventFilter(QObject *watched, QEvent *event) {
  switch (event->type()) {
  case QEvent::Show:
  case QEvent::Hide:
  case QEvent::Resize:
  case QEvent::Move:
    AutoSizeToControls();
    break;
  default:
    break;
  }
  return QWidget::eventFilter(watched, event);
}

// The window takes the extent of its visible controls.
void TForm1::AutoSizeToControls() {
  int right = 0;
  int bottom = 0;
  for (QObject *child : children()) {
    auto *w = qobject_cast<QWidget *>(child);
    if (w == nullptr || w == needleLayer_ || w->isHidden() || w->isWindow())
      continue;
    right = std::max(right, w->x() + w->width());
    bottom = std::max(bottom, w->y() + w->height());
  }
  if (right > 0 && bottom > 0 && (width() != right || height() != bottom))
    setFixedSize(right, bottom);
}

void TForm1::resizeEvent(QResizeEvent *event) {
  QWidget::resizeEvent(event);
  if (needleLayer_ != nullptr)
    needleLayer_->setGeometry(rect());
}

void TForm1::ApplyTraceView() {
  QPalette pal = palette();
  pal.setColor(QPalette::Window, TraceView ? QColor(255, 0, 0) : pal.color(QPalette::Button));
  setPalette(pal);
  Memo1->setVisible(TraceView);
}

void TForm1::SelectWithoutChange(QComboBox *box, int index) {
  const QSignalBlocker block(box);
  box->setCurrentIndex(index);
  if (index < 0)
    box->setEditText(QString());
}

// ------------------------------------------------------------ start and end

void TForm1::FormCreate() {
  show();
  GroupBox2->setFocus();
  StartDirectory = std::filesystem::current_path().string();
  ApdComPort1.SetBaud(9600);
  LoadConfig();
  LoadLanguage();
  SelectWithoutChange(ComboBox1, PortNumber >= 1 && PortNumber <= 32 ? PortNumber - 1 : -1);
  {
    const int language = LanguageCode == "EN" ? 0 : LanguageCode == "DE" ? 1 : LanguageCode == "FR" ? 2 : -1;
    if (language >= 0)
      SelectWithoutChange(ComboBox2, language);
  }
  {
    // Setting the text from the program is not a change of the box.
    const QSignalBlocker block(ComboBox3);
    ComboBox3->setEditText(QString::number(PollInterval));
  }
  SetFieldValue(PBNumEdit3, ParkPosition1);
  SetFieldValue(PBNumEdit4, ParkPosition2);
  ApplyTraceView();
  Timer1->SetInterval(PollInterval);
  OpenPort();
}

void TForm1::OpenPort(bool offerChoice) {
  try {
    Controller.OpenPort();
  } catch (...) {
    const PortTrouble trouble = TroubleOf(std::current_exception());
    QString text = QStringLiteral("Port COM") + QString::number(PortNumber) + LanguageTexts[lang::PortFailure];
    const QString hint = PortTroubleHint(trouble, LanguageTexts);
    if (!hint.isEmpty())
      text += QChar('\n') + hint;
    ShowErrorMessage(text);
    UpdatePortHint();
    if (offerChoice && (trouble == PortTrouble::Missing || trouble == PortTrouble::EmptySlot))
      OfferPortChoice();
    return;
  }
  UpdatePortHint();
}

void TForm1::FormDestroy() {
  if (destroyed_)
    return;
  destroyed_ = true;
  GatherControls(gAll);
  SaveConfig();
}

bool TForm1::FormClose() {
  GatherControls(gAll);
  SaveConfig();
  return true;
}

void TForm1::closeEvent(QCloseEvent *event) {
  bool mayClose = false;
  Guarded([&] { mayClose = FormClose(); });
  if (mayClose)
    event->accept();
  else
    event->ignore();
}

void TForm1::Button1Click() {
  WaitForDevice(false);
  // Nothing may keep "Exit" from ending the program: a port that will not
  // close is reported and the end goes on.
  Guarded([this] { ApdComPort1.SetOpen(false); });
  Timer1->SetEnabled(false);
  Pause(500);
  Terminate();
}

// ------------------------------------------------------------ settings

void TForm1::LoadConfig() {
  std::filesystem::current_path(StartDirectory);
  const std::string path = (std::filesystem::path(StartDirectory) / ConfigFileName).string();
  if (FileExists(path)) {
    // Only the nine lines that matter are read, each cut to a bound.
    const std::vector<TextLine> lines = ReadTextLines(path, ConfigLines, ConfigLineBytes);
    // Reading past the end gives empty lines.
    auto line = [&](std::size_t i) { return i < lines.size() ? lines[i] : TextLine{}; };
    PortNumber = NumberOf(line(0));
    LanguageCode = QString::fromUtf8(line(1).text);
    PollInterval = NumberOf(line(2));
    ReservedSetting = NumberOf(line(3));
    ParkPosition1 = NumberOf(line(4));
    SetFieldValue(PBNumEdit3, ParkPosition1);
    ParkPosition2 = NumberOf(line(5));
    SetFieldValue(PBNumEdit4, ParkPosition2);
    (void)line(6); // read and dropped
    PollMode = 1;
    WindowLeft = NumberOf(line(7));
    PlaceWindow(WindowLeft, WindowPosition().y());
    WindowTop = NumberOf(line(8));
    PlaceWindow(WindowLeft, WindowTop);
  } else {
    WriteTextLines(path, DefaultConfigLines());
    PortNumber = 1;
    LanguageCode = QStringLiteral("EN");
    PollInterval = 1000;
    ReservedSetting = 10;
    ParkPosition1 = 0;
    ParkPosition2 = 0;
    PollMode = 2;
    PlaceWindow(50, 50);
  }
  // The unit's azimuth range and the view choice live in a file of their
  // own; the nine lines stay as they are.
  std::string rangeTrouble;
  Controller.AzimuthRange = LoadAzimuthRange(StartDirectory, rangeTrouble);
  LoadViewChoice();
  ApplyAxisView();
  Image1->SetPicture(LoadJpegFile(DialFileName));
  ApdComPort1.SetComNumber(static_cast<uint16_t>(PortNumber));
}

// The view choice from its own file. A file that cannot be read leaves the
// choice as it was: the window must still start.
void TForm1::LoadViewChoice() {
  ExtraSettings extra;
  try {
    extra.Load(StartDirectory);
  } catch (const EInOutError &) {
    return;
  }
  ShowElevation = extra.GetFlag(ShowElevationKey, false);
}

// Axis 2's controls, shown or hidden by the view choice; the window takes
// their extent through its auto-size.
void TForm1::ApplyAxisView() {
  for (QWidget *w : {static_cast<QWidget *>(Image2), static_cast<QWidget *>(Label7), static_cast<QWidget *>(GroupBox4),
                     static_cast<QWidget *>(GroupBox5)})
    w->setVisible(ShowElevation);
  // The design caption "0" is no position: nothing shows until a unit
  // reports one.
  if (ShowElevation && !Controller.ElevationKnown) {
    Label7->setText(QString());
    Label7->adjustSize();
  }
  ShowElevationAction->setChecked(ShowElevation);
  if (needleLayer_ != nullptr) {
    needleLayer_->raise();
    needleLayer_->update();
  }
}

void TForm1::SetShowElevation(bool on) {
  ShowElevation = on;
  ApplyAxisView();
  // Read first so that keys others wrote since are kept; an unreadable
  // file is not replaced by one that lacks them.
  ExtraSettings extra;
  extra.Load(StartDirectory);
  extra.SetFlag(ShowElevationKey, on);
  extra.Save(StartDirectory);
}

void TForm1::contextMenuEvent(QContextMenuEvent *event) {
  ShowElevationAction->setChecked(ShowElevation);
  ViewMenu->popup(event->globalPos());
  event->accept();
}

bool TForm1::ElevationNeedleShown() const {
  return needleShown_ && ShowElevation && Controller.ElevationKnown && !Image2->isHidden();
}

// Moves the window to a saved corner, or where it can still be reached.
void TForm1::PlaceWindow(int32_t left, int32_t top) {
  move(ReachablePosition(left, top, frameGeometry().size(), ScreenAreas()));
  savedAt_ = QPoint(left, top);
  placedAt_ = pos();
  placed_ = true;
}

// The position a gather takes: the saved one while the window stays where
// it was put for it, else where the user moved it.
QPoint TForm1::WindowPosition() const {
  if (placed_ && pos() == placedAt_)
    return savedAt_;
  return pos();
}

void TForm1::SaveConfig() {
  const std::string path = (std::filesystem::path(StartDirectory) / ConfigFileName).string();
  WriteTextLines(path, {Decimal(PortNumber), LanguageCode.toStdString(), Decimal(PollInterval),
                        Decimal(ReservedSetting), Decimal(ParkPosition1), Decimal(ParkPosition2), Decimal(PollMode),
                        Decimal(WindowLeft), Decimal(WindowTop)});
}

void TForm1::GatherControls(unsigned what) {
  if (what & gPort)
    PortNumber = NumberOf(ComboBox1->currentText());
  if (what & gLanguage)
    LanguageCode = ComboBox2->currentText();
  if (what & gPoll)
    PollInterval = NumberOf(ComboBox3->currentText());
  if (what & gParks) {
    ParkPosition1 = FieldAsInteger(PBNumEdit3);
    ParkPosition2 = FieldAsInteger(PBNumEdit4);
  }
  if (what & gWindow) {
    const QPoint at = WindowPosition();
    WindowLeft = at.x();
    WindowTop = at.y();
  }
}

void TForm1::InvalidEntry(QComboBox *box) {
  ShowErrorMessage(LanguageTexts[lang::InvalidEntry] + QStringLiteral(" \"") + QuoteForMessage(box->currentText()) +
                   QStringLiteral("\" !"));
  SelectWithoutChange(box, 0);
}

void TForm1::ComboBox1Change() {
  int32_t n = 0;
  if (!TryStrToInt(ComboBox1->currentText().toStdString(), n)) {
    InvalidEntry(ComboBox1);
    return;
  }
  PortNumber = n;
  WaitForDevice(false); // the user's choice ends the wait for the old one
  ApdComPort1.SetOpen(false);
  GatherControls(gPoll | gParks | gWindow);
  SaveConfig();
  LoadConfig();
  OpenPort();
}

void TForm1::ComboBox3Change() {
  int32_t n = 0;
  if (!TryStrToInt(ComboBox3->currentText().toStdString(), n)) {
    InvalidEntry(ComboBox3);
    return;
  }
  PollInterval = n;
  GatherControls(gPort | gLanguage | gParks | gWindow);
  Timer1->SetInterval(PollInterval);
  SaveConfig();
  LoadConfig();
}

void TForm1::PBNumEdit3Exit() {
  GatherControls(gAll);
  Timer1->SetInterval(PollInterval);
  SaveConfig();
  LoadConfig();
}

void TForm1::PBNumEdit4Exit() { PBNumEdit3Exit(); }

// ------------------------------------------------------------ language

void TForm1::LoadLanguage() {
  std::filesystem::current_path(StartDirectory);
  const std::string path = (std::filesystem::path(StartDirectory) / LanguageFileName).string();
  if (!FileExists(path)) {
    ShowErrorMessage(QStringLiteral("Language-file \"Zelkor_M_language.csv\" not found !"));
    return;
  }
  // One encoding for the whole file: UTF-8 if all of it is, else the 8-bit
  // Windows text such files are often written in.
  Utf8Check check;
  ReadFileChunks(path, [&](std::string_view bytes) {
    check.Feed(bytes);
    return true;
  });
  const bool utf8 = check.Valid();
  auto take = [&](const TextLine &raw) {
    const QString line = DecodeFileText(raw.text, utf8);
    if (line.left(lang::CodeLength) != LanguageCode)
      return true;
    const int32_t n = NumberOf(line.mid(lang::NumberAt, lang::NumberDigits));
    // Entries outside the table are not written.
    if (n >= 0 && n < LanguageEntryCount)
      LanguageTexts[n] = line.mid(lang::TextAt, lang::TextLength);
    return true;
  };
  bool any = false;
  ForEachTextLine(path, LanguageLineBytes, [&](const TextLine &raw) {
    any = true;
    return take(raw);
  });
  if (!any)
    take(TextLine{}); // an empty file still gives one (empty) line
  Label2->setText(LanguageTexts[lang::LanguageCaption]);
  Label2->adjustSize();
  Button1->setText(LanguageTexts[lang::ExitCaption]);
  GroupBox3->setTitle(LanguageTexts[lang::ManualCaption] + QStringLiteral(" 1"));
  GroupBox5->setTitle(LanguageTexts[lang::ManualCaption] + QStringLiteral(" 2"));
  GroupBox4->setTitle(LanguageTexts[lang::ManualCaption] + QStringLiteral(" 1+2"));
  ShowElevationAction->setText(LanguageTexts[lang::ShowElevation].isEmpty() ? QStringLiteral("Show elevation")
                                                                            : LanguageTexts[lang::ShowElevation]);
  FieldWidget(PBNumEdit3)->setToolTip(PlainHint(LanguageTexts[lang::ParkingHint] + QStringLiteral(" 1")));
  FieldWidget(PBNumEdit4)->setToolTip(PlainHint(LanguageTexts[lang::ParkingHint] + QStringLiteral(" 2")));
}

void TForm1::ComboBox2Change() {
  const QString text = ComboBox2->currentText();
  if (text != "EN" && text != "DE" && text != "FR") {
    InvalidEntry(ComboBox2);
    return;
  }
  GatherControls(gAll);
  SaveConfig();
  LoadConfig();
  LoadLanguage();
}

// ------------------------------------------------------------ reports

void TForm1::ApdComPort1TriggerAvail(uint16_t Count) { Controller.ReceiveAvail(Count); }

void TForm1::ReportShown() {
  ShowPositions();
  DrawNeedle();
  if (PositionsShown)
    PositionsShown();
}

// One line per piece: the byte codes, each followed by a space; a single
// byte without one. A line end whose second byte came late joins its line.
void TForm1::Trace(const controller::Reply &reply) {
  auto codes = [](const std::string &bytes) {
    if (bytes.size() == 1)
      return QString::number(static_cast<uint8_t>(bytes[0]));
    QString line;
    for (unsigned char c : bytes)
      line += QString::number(c) + QChar(' ');
    return line;
  };
  QTextDocument *doc = Memo1->document();
  if (reply.kind == controller::Reply::Kind::LineEnd && !lastTraced_.empty() &&
      doc->lastBlock().text() == lastTraceLine_) {
    lastTraced_ += reply.bytes;
    lastTraceLine_ = codes(lastTraced_);
    QTextCursor cursor(doc->lastBlock());
    cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    cursor.insertText(lastTraceLine_);
    return;
  }
  lastTraced_ = reply.bytes;
  lastTraceLine_ = codes(lastTraced_);
  Memo1->appendPlainText(lastTraceLine_);
}

void TForm1::ShowPositions() {
  Label6->setText(QString::number(Position1) + QChar(0x00B0));
  Label6->adjustSize();
  // A unit that reports no elevation shows none, not the last one.
  Label7->setText(Controller.ElevationKnown ? QString::number(Position2) + QChar(0x00B0) : QString());
  Label7->adjustSize();
}

void TForm1::DrawNeedle() {
  const int cx = Image1->x() + 100;
  const int cy = Image1->y() + 100;
  const NeedlePoint tip = NeedleEnd(cx, cy, Position1);
  needleShown_ = true;
  needleCentre_ = QPoint(cx, cy);
  needleTip_ = QPoint(tip.x, tip.y);
  elevationCentre_ = QPoint(Image2->x() + 100, Image2->y() + 100);
  const NeedlePoint end = ElevationNeedleEnd(elevationCentre_.x(), elevationCentre_.y(), Position2);
  elevationTip_ = QPoint(end.x, end.y);
  needleLayer_->Set(needleCentre_, needleTip_);
}

// ------------------------------------------------------------ dials

void TForm1::Image1MouseMove(int32_t X, int32_t Y) { SetFieldValue(PBNumEdit1, AzimuthAt(X, Y)); }
void TForm1::Image2MouseMove(int32_t X, int32_t Y) { SetFieldValue(PBNumEdit2, ElevationAt(X, Y)); }
void TForm1::Image1Click() { MoveAxis1(); }
void TForm1::Image2Click() { MoveAxis2(); }
