#pragma once
// Shared by the numeric edit tests: one application object whose notify
// collects the errors the field re-raises, a beep counter, key scripts.
#include "numedit/PBNumEdit.h"
#include "runtime/SysUtils.h"

#include <QApplication>
#include <QClipboard>
#include <QLocale>
#include <QTest>
#include <gtest/gtest.h>

#include <string>
#include <vector>

class TTestApp : public QApplication {
public:
  TTestApp(int &argc, char **argv) : QApplication(argc, argv) {}
  bool notify(QObject *receiver, QEvent *e) override {
    try {
      return QApplication::notify(receiver, e);
    } catch (const Exception &x) {
      Errors.push_back(x.Message());
    } catch (const std::exception &x) {
      Errors.push_back(std::string("foreign: ") + x.what());
    }
    return true;
  }
  std::vector<std::string> Errors;
};

inline TTestApp &App() {
  static int argc = 1;
  static char name[] = "numedit_tests";
  static char *argv[] = {name, nullptr};
  // Never destroyed: Qt's own globals are gone by the time statics die.
  static TTestApp *app = new TTestApp(argc, argv);
  return *app;
}

// Errors re-raised by the field arrive with its posted events.
inline std::vector<std::string> TakeErrors() {
  QCoreApplication::sendPostedEvents();
  std::vector<std::string> e;
  e.swap(App().Errors);
  return e;
}

struct TBeepCounter {
  int Count = 0;
  TBeepCounter() {
    TPBNumEdit::SetBeepHandler([this] { ++Count; });
  }
  ~TBeepCounter() { TPBNumEdit::SetBeepHandler({}); }
};

inline void UseEnglishLocale() {
  App();
  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
}

// Plays a key script on the widget. Plain characters are typed; bracketed
// names are keys: [bs] [del] [left] [right] [home] [end] [sleft] [sright]
// [enter] [space], and [paste:text] puts text on the clipboard and presses
// Ctrl+V.
inline void PlayKeys(QWidget *w, const std::string &script) {
  for (size_t i = 0; i < script.size(); ++i) {
    const char c = script[i];
    if (c != '[') {
      QTest::keyClick(w, c);
      continue;
    }
    const size_t end = script.find(']', i);
    const std::string name = script.substr(i + 1, end - i - 1);
    i = end;
    if (name == "bs")
      QTest::keyClick(w, Qt::Key_Backspace);
    else if (name == "del")
      QTest::keyClick(w, Qt::Key_Delete);
    else if (name == "left")
      QTest::keyClick(w, Qt::Key_Left);
    else if (name == "right")
      QTest::keyClick(w, Qt::Key_Right);
    else if (name == "home")
      QTest::keyClick(w, Qt::Key_Home);
    else if (name == "end")
      QTest::keyClick(w, Qt::Key_End);
    else if (name == "sleft")
      QTest::keyClick(w, Qt::Key_Left, Qt::ShiftModifier);
    else if (name == "sright")
      QTest::keyClick(w, Qt::Key_Right, Qt::ShiftModifier);
    else if (name == "enter")
      QTest::keyClick(w, Qt::Key_Return);
    else if (name == "space")
      QTest::keyClick(w, Qt::Key_Space);
    else if (name.rfind("paste:", 0) == 0) {
      QGuiApplication::clipboard()->setText(QString::fromStdString(name.substr(6)));
      QTest::keyClick(w, Qt::Key_V, Qt::ControlModifier);
    } else {
      ADD_FAILURE() << "unknown key " << name;
    }
  }
}
