#pragma once
// The rotor controller's one window: its controls, the settings and their
// files, the buttons and the dials, the trace and the positions shown. The
// port, the poll, the reports, reconnect and the stall guard are the
// controller's; the window's names for them refer to it. Everything here
// runs on the user-interface thread.
#include "app/Controls.h"
#include "app/LanguageEntries.h"
#include "controller/RotorController.h"

#include <QPoint>
#include <QString>
#include <QWidget>
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QAction;
class QComboBox;
class QGroupBox;
class QAction;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class TPBNumEdit;
class NeedleLayer;

// Build-time switch: a red window with the received-bytes trace visible.
constexpr bool TraceView = false;

// The trace keeps this many of its newest lines, so a noisy line cannot
// grow the program without end.
constexpr int TraceLineLimit = 1000;

class TForm1 : public QWidget {
public:
  // Builds the window and runs FormCreate (errors in it are shown, and the
  // window stays).
  explicit TForm1(QWidget *parent = nullptr);
  // Runs FormDestroy.
  ~TForm1() override;

  // Declared first: the names below refer into it.
  TRotorController Controller;

  // ---- state of the unit
  std::string StartDirectory;
  int32_t PortNumber = 0;
  QString LanguageCode;
  int32_t PollInterval = 0;
  int32_t ReservedSetting = 0;
  int32_t &ParkPosition1 = Controller.ParkPosition1;
  int32_t &ParkPosition2 = Controller.ParkPosition2;
  int32_t &PollMode = Controller.PollMode;
  int32_t WindowLeft = 0;
  int32_t WindowTop = 0;
  TLanguageTexts LanguageTexts;
  // The view choice: the elevation dial, its label and the groups of axis 2
  // shown. Kept in the file beside the nine-line one.
  bool ShowElevation = false;
  TCommandBuffer &CommandBuffer = Controller.CommandBuffer;
  TFrameBuffer &FrameBuffer = Controller.FrameBuffer;
  int32_t &Position1 = Controller.Position1;
  int32_t &Position2 = Controller.Position2;

  // ---- controls, in creation order
  TImage *Image2;
  QLabel *Label4;
  QLabel *Label7;
  TImage *Image1;
  QLabel *Label6;
  QGroupBox *GroupBox2;
  QLabel *Label1;
  QLabel *Label2;
  QLabel *Label13;
  QComboBox *ComboBox1;
  QComboBox *ComboBox2;
  QComboBox *ComboBox3;
  QPushButton *Button1;
  QGroupBox *GroupBox3;
  QPushButton *Button5;
  QPushButton *Button9;
  QPushButton *Button11;
  QPushButton *Button2;
  TPBNumEdit *PBNumEdit1;
  TPBNumEdit *PBNumEdit3;
  QPushButton *Button8;
  QGroupBox *GroupBox4;
  QPushButton *Button6;
  QPushButton *Button4;
  QPushButton *Button10;
  QGroupBox *GroupBox5;
  QPushButton *Button7;
  QPushButton *Button12;
  QPushButton *Button13;
  QPushButton *Button3;
  TPBNumEdit *PBNumEdit2;
  TPBNumEdit *PBNumEdit4;
  QPushButton *Button14;
  QPlainTextEdit *Memo1;
  // The window's context menu and its view choice.
  QMenu *ViewMenu;
  QAction *ShowElevationAction;
  TApdComPort &ApdComPort1 = Controller.Port;
  TTimer *Timer1 = Controller.PollTimer;
  // Tries the lost port again while it is away.
  TTimer *ReconnectTimer = Controller.ReconnectTimer;

  // ---- operations
  void LoadConfig();
  void SaveConfig();
  void LoadLanguage();
  void MoveAxis1();
  void MoveAxis2();
  void MoveBothAxes();
  void DrawNeedle();

  // ---- handlers
  void FormCreate();
  void FormDestroy();
  // Returns whether the window may close.
  bool FormClose();
  void ComboBox1Change();
  void ComboBox2Change();
  void ComboBox3Change();
  void PBNumEdit3Exit();
  void PBNumEdit4Exit();
  void Button1Click();
  void Button2Click();
  void Button3Click();
  void Button4Click();
  void Button5Click();
  void Button6Click();
  void Button7Click();
  void Button8Click();
  void Button9Click();
  void Button10Click();
  void Button11Click();
  void Button12Click();
  void Button13Click();
  void Button14Click();
  void Image1Click();
  void Image2Click();
  void Image1MouseMove(int32_t X, int32_t Y);
  void Image2MouseMove(int32_t X, int32_t Y);
  void Timer1Timer();
  void ReconnectTimerTimer();
  void ApdComPort1TriggerAvail(uint16_t Count);

  // The port dialog from the Comport box (its context menu): a port or an
  // adapter chosen there is used as if picked in the box.
  QAction *ChoosePortAction = nullptr;
  void ChoosePortFromList();

  // The needle as last drawn (form coordinates); shown once a report came.
  bool NeedleShown() const { return needleShown_; }
  QPoint NeedleCentre() const { return needleCentre_; }
  QPoint NeedleTip() const { return needleTip_; }
  // The elevation needle, over Image2 while it is shown and the unit
  // reports an elevation.
  bool ElevationNeedleShown() const;
  QPoint ElevationNeedleCentre() const { return elevationCentre_; }
  QPoint ElevationNeedleTip() const { return elevationTip_; }

  // The view choice changed by the user: shown at once and kept.
  void SetShowElevation(bool on);

  // Blocks the user-interface thread (the pauses before commands and the
  // wait of "Exit"); ends the program's event loop without asking the
  // window first. Replaceable so tests can observe them.
  std::function<void(int ms)> Pause;
  std::function<void()> Terminate;
  // The device went away: said once, the port closed, and tried again
  // every ReconnectMs until it is back, another port is chosen or the
  // program ends.
  static constexpr int ReconnectMs = TRotorController::ReconnectMs;
  void DeviceLost();
  bool WaitingForDevice() const;
  StallGuard &AzimuthGuard = Controller.AzimuthGuard;

  // The controller's: called as a command or a poll goes to the port.
  std::function<void(const std::vector<uint8_t> &bytes)> &OnSend = Controller.OnSend;

  // Called each time the labels show a newly parsed report.
  std::function<void()> PositionsShown;
  // Tells reports of every form from the unit's other replies; the
  // controller's, new for every opening of the port.
  controller::ReplyReader &Replies = Controller.Replies;

  // When a report was last parsed; empty before the first.
  std::optional<std::chrono::steady_clock::time_point> &LastReportTime = Controller.LastReportTime;

protected:
  void closeEvent(QCloseEvent *event) override;
  void contextMenuEvent(QContextMenuEvent *event) override;
  void resizeEvent(QResizeEvent *event) override;
  bool eventFilter(QObject *watched, QEvent *event) override;

private:
  enum Gather : unsigned {
    gPort = 1,
    gLanguage = 2,
    gPoll = 4,
    gParks = 8,
    gWindow = 16,
    gAll = 31,
  };
  void GatherControls(unsigned what);
  // On a missing device, offers the port dialog when a device is present
  // that no number leads to (offerChoice).
  void OpenPort(bool offerChoice = true);
  void OfferPortChoice();
  void UsePortNumber(int n);
  void UpdatePortHint();
  void BuildPortChoice();
  void SendCommand(const std::function<std::vector<uint8_t>()> &build, bool pause);
  void Trace(const controller::Reply &reply);
  void ReportShown();
  void WaitForDevice(bool waiting);
  void DeviceGone();
  void StallMessage();
  void ElevationStallMessage();
  void ApplyAxisView();
  void LoadViewChoice();
  void ShowPositions();
  void ApplyTraceView();
  void SelectWithoutChange(QComboBox *box, int index);
  void InvalidEntry(QComboBox *box);
  void AutoSizeToControls();
  void BuildControls();
  void PlaceWindow(int32_t left, int32_t top);
  QPoint WindowPosition() const;

  NeedleLayer *needleLayer_ = nullptr;
  bool needleShown_ = false;
  QPoint needleCentre_;
  QPoint needleTip_;
  QPoint elevationCentre_;
  QPoint elevationTip_;
  bool destroyed_ = false;
  // The bytes of the last trace line, which a late line-end byte joins.
  std::string lastTraced_;
  QString lastTraceLine_;
  bool offering_ = false; // the dialog of a failed open is up
  // A saved position the window could not be shown at is written back as
  // it was read while the window stays where it was put instead.
  QPoint savedAt_;
  QPoint placedAt_;
  bool placed_ = false;
};
