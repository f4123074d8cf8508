// Key sequences into the numeric edit's filter: whatever is typed, pasted,
// cut or deleted, the text stays a number in the making (one separator, one
// 'E', minus signs only where a sign goes, no more decimals than allowed).
#include "numedit/PBNumEdit.h"
#include "runtime/SysUtils.h"

#include <QApplication>
#include <QClipboard>
#include <QLocale>
#include <QRegularExpression>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// The field re-raises its own errors from posted events; they land here.
class FuzzApp : public QApplication {
public:
  FuzzApp(int &argc, char **argv) : QApplication(argc, argv) {}
  bool notify(QObject *receiver, QEvent *e) override {
    try {
      return QApplication::notify(receiver, e);
    } catch (const Exception &x) {
      Check(x.Message());
    }
    return true;
  }
  // An exponent that does not convert is the one error typing may raise.
  static void Check(const std::string &message) {
    if (message.find("Integerwert") == std::string::npos) {
      std::fprintf(stderr, "unexpected error: %s\n", message.c_str());
      std::abort();
    }
  }
};

void Setup() {
  static bool done = false;
  if (done)
    return;
  done = true;
  static int argc = 1;
  static char name[] = "fuzz_numedit_keys";
  static char *argv[] = {name, nullptr};
  new FuzzApp(argc, argv);
  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
  TPBNumEdit::SetBeepHandler([] {});
}

void Fail(const TPBNumEdit &e, const char *what) {
  std::fprintf(stderr, "%s: '%s'\n", what, e.text().toStdString().c_str());
  std::abort();
}

void CheckInvariant(const TPBNumEdit &e, TNumberFormat format, int decimals) {
  static const QRegularExpression plain(R"(^-?[0-9]*(\.[0-9]*)?(E-?[0-9]*)?$)");
  static const QRegularExpression grouped(R"(^-?[0-9,]*(\.[0-9]*)?(E-?[0-9]*)?$)");
  const QString t = e.text();
  if (!(format == TNumberFormat::Thousands ? grouped : plain).match(t).hasMatch())
    Fail(e, "not a number in the making");
  const qsizetype point = t.indexOf('.');
  const qsizetype ePos = t.indexOf('E');
  if (decimals == 0 && point >= 0)
    Fail(e, "separator with no decimals");
  if (decimals > 0 && point >= 0 && (ePos >= 0 ? ePos : t.size()) - point - 1 > decimals)
    Fail(e, "too many decimals");
  if (ePos >= 0) {
    bool ok = false;
    const int exp = t.mid(ePos + 1).toInt(&ok);
    if (ok && std::abs(exp) > 4932)
      Fail(e, "exponent out of range");
  }
}

template <class F>
void Guard(F &&f) {
  try {
    f();
  } catch (const Exception &x) {
    FuzzApp::Check(x.Message());
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Setup();
  if (size < 2)
    return 0;
  const TNumberFormat format = TNumberFormat(data[0] % 4);
  const int decimals = int(data[1] % 5) - 1; // -1 .. 3
  TPBNumEdit e;
  e.SetNumberFormat(format);
  e.SetDecimals(decimals);
  const char alphabet[] = "0123456789-Ee.,x +";
  for (size_t i = 2; i < size; ++i) {
    const uint8_t b = data[i];
    const uint8_t arg = i + 1 < size ? data[i + 1] : 0;
    switch (b % 16) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 4:
    case 5: {
      QChar c(alphabet[arg % (sizeof alphabet - 1)]);
      ++i;
      Guard([&] { e.KeyPress(c); });
      break;
    }
    case 6:
    case 7: {
      int key = b & 16 ? Qt::Key_Backspace : Qt::Key_Delete;
      Guard([&] { e.KeyDown(key, Qt::NoModifier); });
      break;
    }
    case 8:
      e.setCursorPosition(arg % (e.text().size() + 1));
      ++i;
      break;
    case 9: {
      const int len = int(e.text().size());
      const int start = arg % (len + 1);
      e.setSelection(start, (b >> 4) % (len - start + 1));
      ++i;
      break;
    }
    case 10: {
      std::string clip;
      for (int k = 0; k < (b >> 4) && i + 1 < size; ++k)
        clip += alphabet[data[++i] % (sizeof alphabet - 1)];
      QGuiApplication::clipboard()->setText(QString::fromStdString(clip));
      QChar paste(22);
      Guard([&] { e.KeyPress(paste); });
      break;
    }
    case 11: {
      QChar cut(24);
      Guard([&] { e.KeyPress(cut); });
      break;
    }
    case 12: {
      // Any other character: refused with a beep.
      QChar c{char16_t(arg)};
      ++i;
      Guard([&] { e.KeyPress(c); });
      break;
    }
    default:
      e.setCursorPosition(b & 16 ? 0 : int(e.text().size()));
      break;
    }
    QCoreApplication::sendPostedEvents();
    CheckInvariant(e, format, decimals);
  }
  return 0;
}
