// Cost of formatting a value and of one typed key through the filter.
#include "numedit/PBNumEdit.h"

#include <QApplication>
#include <QKeyEvent>
#include <benchmark/benchmark.h>

namespace {

QApplication &App() {
  static int argc = 1;
  static char name[] = "bench_numedit";
  static char *argv[] = {name, nullptr};
  static QApplication *app = new QApplication(argc, argv);
  return *app;
}

void BM_FormatValue(benchmark::State &state) {
  App();
  TPBNumEdit e;
  e.SetNumberFormat(static_cast<TNumberFormat>(state.range(0)));
  long double x = 1234.5678L;
  for (auto _ : state) {
    benchmark::DoNotOptimize(e.FormatValue(x));
    x += 0.37L;
  }
}
BENCHMARK(BM_FormatValue)->DenseRange(0, 3);

// A digit typed and deleted again: key-down, character, key-up each time.
void BM_TypeAndDelete(benchmark::State &state) {
  App();
  TPBNumEdit::SetBeepHandler([] {});
  TPBNumEdit e;
  e.SetNumberFormat(TNumberFormat::Thousands);
  e.SetValue(123456);
  e.setCursorPosition(int(e.text().size()));
  for (auto _ : state) {
    QKeyEvent p7(QEvent::KeyPress, Qt::Key_7, Qt::NoModifier, "7");
    QKeyEvent r7(QEvent::KeyRelease, Qt::Key_7, Qt::NoModifier, "7");
    QKeyEvent pb(QEvent::KeyPress, Qt::Key_Backspace, Qt::NoModifier, "\b");
    QKeyEvent rb(QEvent::KeyRelease, Qt::Key_Backspace, Qt::NoModifier, "\b");
    QCoreApplication::sendEvent(&e, &p7);
    QCoreApplication::sendEvent(&e, &r7);
    QCoreApplication::sendEvent(&e, &pb);
    QCoreApplication::sendEvent(&e, &rb);
  }
  TPBNumEdit::SetBeepHandler({});
}
BENCHMARK(BM_TypeAndDelete);

} // namespace

BENCHMARK_MAIN();
