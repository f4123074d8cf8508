// zelkor: the rotator controller. Reads no options; its files live in the
// directory it is started from.
#include "app/Application.h"
#include "app/Unit1.h"
#include "comport/OoMisc.h"

#include <memory>

int main(int argc, char **argv) {
  RequestTimerResolution();
  int rc = 0;
  {
    TApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zelkor"));
    auto form = std::make_unique<TForm1>();
    rc = app.exec();
    form.reset(); // the window's destruction saves the settings again
  }
  ReleaseTimerResolution();
  return rc;
}
