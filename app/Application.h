#pragma once
// The program's application object and its top-level error display: every
// exception that a handler does not catch ends up here, is shown in a modal
// box titled with the application's title, and the program runs on.
#include "controller/ProcessSetup.h"

#include <QApplication>
#include <QString>
#include <exception>
#include <functional>
#include <stdexcept>

// The text the error display shows for an exception: its message, with a
// full stop added when the last character sorts after ".".
QString ExceptionDisplayText(const std::exception &e);
QString ExceptionDisplayText(const QString &message);

// Shows an exception in an error box titled with the application's title.
void ShowException(const std::exception &e);

// The application's own error messages: a modal box with one OK button.
void ShowErrorMessage(const QString &text);

// Where the boxes go. By default a modal QMessageBox; tests record instead.
using MessageBoxHandler = std::function<void(const QString &title, const QString &text)>;
void SetMessageBoxHandler(MessageBoxHandler handler);

// Runs f and shows whatever it throws; the event loop never sees it.
template <typename F>
void Guarded(F &&f) {
  try {
    f();
  } catch (const std::exception &e) {
    ShowException(e);
  } catch (...) {
    ShowException(std::runtime_error("Unbekannter Fehler"));
  }
}

class TApplication : public QApplication {
public:
  TApplication(int &argc, char **argv);
  ~TApplication() override;
  bool notify(QObject *receiver, QEvent *event) override;

private:
  TControllerProcess process_;
};
