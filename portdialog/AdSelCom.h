#pragma once
// The port selection dialog: shown by the port component when it is asked
// to open with no port number, it lists the serial ports that can be opened
// or are held by another program and gives the chosen number back.
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

  // The chosen port: the selected entry from its 4th character on ("COM12"
  // gives 12). Raises ENoPortSelected when the list offers no port.
  int SelectedPortNumber() const;

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
};

// Lets the port component ask through this dialog when it opens a port
// without a number; only a widget application can show it.
void InstallPortDialog();
