// How soon the window shows a report that a real line paces in: the simulated
// unit sends every byte at 9600 baud (8N1, about 1.04 ms a byte) and the
// figure is the time from the write of a report's last byte to Label6
// showing it (median and p99), next to the line time of the report itself.
// Ends with "FIGURE name: value (ratio X)" lines.
#include "app/Application.h"
#include "app/Unit1.h"
#include "platform/Messages.h"
#include "rotorsim/RotorSim.h"
#include "Stats.h"

#include "tests/support/TempDir.h"

#include <QCoreApplication>
#include <QLabel>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

using bench::Millis;

int main(int argc, char **argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const support::TempDir scratch("report-bench");
  const fs::path &dir = scratch.Path();
  int status = 0;
  {
    TApplication app(argc, argv);
    for (const char *f : {"Zelkor_M_language.csv", "Windrose_AZ.jpg"})
      fs::copy_file(fs::path(ZK_DATA) / f, dir / f);
    std::ofstream(dir / "Zelkor_M.ini", std::ios::binary) << "1\r\nEN\r\n100\r\n10\r\n0\r\n0\r\n1\r\n50\r\n50\r\n";
    rotorsim::Options o; // line pacing at the rate the port sets: 9600 8N1
    rotorsim::ServerOptions so;
    so.linkPath = (dir / "COM1").string();
    rotorsim::PtyServer unit(o, so);
    platform::SetStartDirectory(dir.string());
    fs::current_path(dir);

    std::vector<Clock::time_point> shown;
    constexpr std::size_t samples = 150;
    {
      TForm1 form;
      form.PositionsShown = [&] { shown.push_back(Clock::now()); };
      const auto end = Clock::now() + std::chrono::seconds(60);
      while (shown.size() < samples && Clock::now() < end)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    // The write that carried each report's last byte.
    std::vector<Clock::time_point> lastByte;
    std::size_t inReport = 0;
    for (const rotorsim::Delivered &d : unit.delivered())
      for (char c : d.bytes) {
        inReport = c == 'A' ? 1 : inReport > 0 ? inReport + 1 : 0;
        if (inReport == 16) {
          lastByte.push_back(d.time);
          inReport = 0;
        }
      }
    std::vector<double> latency;
    for (std::size_t i = 0; i < std::min(shown.size(), lastByte.size()); ++i)
      latency.push_back(Millis(shown[i] - lastByte[i]));
    if (latency.size() < samples) {
      std::fprintf(stderr, "only %zu of %zu reports shown\n", latency.size(), samples);
      status = 1;
    }
    const double lineTime = Millis(16 * rotorsim::LineFormat{9600, 10}.charTime());
    const auto [median, p99] = bench::Summarise(latency);
    std::printf("%zu reports at 9600 baud, poll every 100 ms; report line time %.2f ms\n", latency.size(), lineTime);
    std::printf("last byte to Label6: median %.3f ms, p99 %.3f ms\n", median, p99);
    std::printf("FIGURE report shown after its last byte, median: %.3f ms (ratio %.3f)\n", median, median / lineTime);
    std::printf("FIGURE report shown after its last byte, p99: %.3f ms (ratio %.3f)\n", p99, p99 / lineTime);
    std::printf("FIGURE report line time at 9600 baud: %.3f ms (ratio 1.000)\n", lineTime);
  }
  std::error_code ec;
  fs::current_path("/", ec); // out of the folder before it goes
  return status;
}
