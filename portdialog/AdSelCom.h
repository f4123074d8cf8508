#pragma once
// The port selection dialog: shown by the port component when it is asked
// to open with no port number, it lists the serial ports that can be opened
// or are held by another program, each with what it is, and after them the
// devices present that no port number leads to. Choosing one of those binds
// it to a number (a COMn link in the start folder) and gives that back.
#include <QDialog>

class QLabel;
class QFrame;
class QComboBox;
class QPushButton;

class TComSelectForm : public QDialog {
  Q_OBJECT
public:
  // Modal results, numbered as the component compares them.
  enum TModalResult { mrNone = 0, mrOk = 1, mrCancel = 2, mrAbort = 3 };

  // Ports COM1..kLastPort are candidates.
  static constexpr int kLastPort = 50;

  explicit TComSelectForm(QWidget *owner = nullptr);

  // The chosen port number ("COM12 - ..." gives 12; a device bound on OK
  // gives the number it was bound to). Raises ENoPortSelected when the list
  // offers no port, or the device chosen is not bound to one.
  int SelectedPortNumber() const;

  // The number a device chosen from the unbound ones is bound to; by
  // default the lowest free one.
  void SetBindNumber(int n) { bindNumber_ = n; }
  // How many devices present no port number leads to.
  int UnboundCount() const { return unbound_; }

  // True when port n can be opened or is held by another program (busy).
  // Every device it opens is closed again before it returns.
  static bool IsPortPresent(int n);

  QLabel *Label1 = nullptr;
  QLabel *Label2 = nullptr;
  QFrame *Bevel1 = nullptr;
  QComboBox *PortsComboBox = nullptr;
  QPushButton *OkBtn = nullptr;
  QPushButton *AbortBtn = nullptr;

public slots:
  // Closing through the system menu (or Escape) ends with mrCancel.
  void reject() override;

protected:
  void FormCreate();
  // OK: binds an unbound device first; on failure says why and stays.
  void OkClick();

private:
  int bindNumber_ = 0;
  int unbound_ = 0;
};

// Where port n leads, for a tip: the device found there, or "no device at"
// and the path the number names.
QString PortNumberTarget(int n);

// Lets the port component ask through this dialog when it opens a port
// without a number; only a widget application can show it.
void InstallPortDialog();
