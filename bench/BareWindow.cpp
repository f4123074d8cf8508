// An empty Qt window of the program's size: the floor the program's
// resident memory is compared with. Prints "ready" once it is shown and the
// event loop has run, then runs until it is told to end.
#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <cstdio>

int main(int argc, char **argv) {
  QApplication app(argc, argv);
  QWidget window;
  window.setWindowTitle(QStringLiteral("bare"));
  window.resize(201, 370);
  window.show();
  QTimer::singleShot(0, [] {
    std::printf("ready\n");
    std::fflush(stdout);
  });
  return app.exec();
}
