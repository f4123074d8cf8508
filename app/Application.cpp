#include "app/Application.h"

#include "portdialog/AdSelCom.h"
#include "runtime/SysUtils.h"

#include <QMessageBox>
#include <stdexcept>
#include <utility>

namespace {

MessageBoxHandler &Handler() {
  static MessageBoxHandler handler;
  return handler;
}

QString ApplicationTitle() {
  QString title = QCoreApplication::applicationName();
  return title.isEmpty() ? QStringLiteral("zelkor") : title;
}

void ShowBox(const QString &title, const QString &text) {
  if (Handler()) {
    Handler()(title, text);
    return;
  }
  QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::Ok);
  // Messages quote the data files and the line: never taken for markup.
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

} // namespace

QString ExceptionDisplayText(const QString &message) {
  QString text = message;
  if (!text.isEmpty() && text.back() > QChar('.'))
    text += QChar('.');
  return text;
}

QString ExceptionDisplayText(const std::exception &e) {
  if (const auto *ex = dynamic_cast<const Exception *>(&e))
    return ExceptionDisplayText(QString::fromStdString(ex->Message()));
  return ExceptionDisplayText(QString::fromUtf8(e.what()));
}

void ShowException(const std::exception &e) { ShowBox(ApplicationTitle(), ExceptionDisplayText(e)); }

void ShowErrorMessage(const QString &text) { ShowBox(ApplicationTitle(), text); }

void SetMessageBoxHandler(MessageBoxHandler handler) { Handler() = std::move(handler); }

// Errors from the port's events reach the same display.
TApplication::TApplication(int &argc, char **argv)
    : QApplication(argc, argv), process_([](const std::exception &e) { ShowException(e); }) {
  InstallPortDialog();
}

TApplication::~TApplication() = default;

bool TApplication::notify(QObject *receiver, QEvent *event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception &e) {
    ShowException(e);
  } catch (...) {
    ShowException(std::runtime_error("Unbekannter Fehler"));
  }
  return false;
}
