// How soon the window shows a report that a real line paces in: the simulated
// unit sends every byte at 9600 baud (8N1, about 1.04 ms a byte) and the
// figure is the time from the write of a report's last byte to Label6
// showing it (median and p99), next to the line time of the report itself,
// for three forms of report: the 16-byte one (two spaces), the one without
// a space and the sign form. A report that ends in CR LF is shown at its CR,
// a byte time before its last byte: such a figure can be below zero.
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
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

using bench::Millis;

namespace {

struct Form {
  const char *name;
  rotorsim::Dialect dialect;
  bool firstStart; // no settings file: the window polls with "C2"
};

// Times from each report's last byte to the label; the report's length.
struct Result {
  std::vector<double> latency;
  std::size_t reportBytes = 0;
};

Result Measure(const fs::path &dir, const Form &f, std::size_t samples) {
  fs::remove(dir / "Zelkor_M.ini");
  if (!f.firstStart)
    std::ofstream(dir / "Zelkor_M.ini", std::ios::binary) << "1\r\nEN\r\n100\r\n10\r\n0\r\n0\r\n1\r\n50\r\n50\r\n";
  rotorsim::Options o; // line pacing at the rate the port sets: 9600 8N1
  o.dialect = f.dialect;
  o.openSilence = rotorsim::Duration::zero();
  std::mutex m;
  std::vector<std::string> answers;
  rotorsim::ServerOptions so;
  so.linkPath = (dir / "COM1").string();
  so.onCommand = [&](const rotorsim::CommandRecord &rec) {
    std::lock_guard<std::mutex> lock(m);
    answers.push_back(rec.answer);
  };
  rotorsim::PtyServer unit(o, so);
  std::vector<Clock::time_point> shown;
  {
    TForm1 form;
    form.Timer1->SetInterval(100);
    form.PositionsShown = [&] { shown.push_back(Clock::now()); };
    const auto end = Clock::now() + std::chrono::seconds(60);
    while (shown.size() < samples && Clock::now() < end)
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  }
  unit.hangUp();
  // The unit sends nothing but the answers to the polls: the write that
  // carried the last byte of each is where the running count passes its end.
  std::vector<Clock::time_point> lastByte;
  std::size_t next = 0, sent = 0, end = answers.empty() ? 0 : answers[0].size();
  for (const rotorsim::Delivered &d : unit.delivered()) {
    sent += d.bytes.size();
    while (next < answers.size() && sent >= end) {
      lastByte.push_back(d.time);
      if (++next < answers.size())
        end += answers[next].size();
    }
  }
  Result r;
  r.reportBytes = answers.empty() ? 0 : answers[0].size();
  for (std::size_t i = 0; i < std::min(shown.size(), lastByte.size()); ++i)
    r.latency.push_back(Millis(shown[i] - lastByte[i]));
  return r;
}

} // namespace

int main(int argc, char **argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const support::TempDir scratch("report-bench");
  const fs::path &dir = scratch.Path();
  int status = 0;
  {
    TApplication app(argc, argv);
    for (const char *f : {"Zelkor_M_language.csv", "Windrose_AZ.jpg"})
      fs::copy_file(fs::path(ZK_DATA) / f, dir / f);
    platform::SetStartDirectory(dir.string());
    fs::current_path(dir);
    constexpr std::size_t samples = 100;
    const Form forms[] = {{"two spaces (AZ=aaa  EL=eee)", rotorsim::Dialect::Report16, false},
                          {"no space (AZ=aaaEL=eee)", rotorsim::Dialect::Firmware, true},
                          {"sign form (+0aaa+0eee)", rotorsim::Dialect::Variant1, true}};
    for (const Form &f : forms) {
      const Result r = Measure(dir, f, samples);
      if (r.latency.size() < samples) {
        std::fprintf(stderr, "%s: only %zu of %zu reports shown\n", f.name, r.latency.size(), samples);
        status = 1;
      }
      const double lineTime = Millis(double(r.reportBytes) * rotorsim::LineFormat{9600, 10}.charTime());
      const auto [median, p99] = bench::Summarise(r.latency);
      std::printf("%s: %zu reports of %zu bytes at 9600 baud, poll every 100 ms; line time %.2f ms\n", f.name,
                  r.latency.size(), r.reportBytes, lineTime);
      std::printf("  last byte to Label6: median %.3f ms, p99 %.3f ms\n", median, p99);
      std::printf("FIGURE %s shown after its last byte, median: %.3f ms (ratio %.3f)\n", f.name, median,
                  median / lineTime);
      std::printf("FIGURE %s shown after its last byte, p99: %.3f ms (ratio %.3f)\n", f.name, p99, p99 / lineTime);
      std::printf("FIGURE %s line time at 9600 baud: %.3f ms (ratio 1.000)\n", f.name, lineTime);
    }
  }
  std::error_code ec;
  fs::current_path("/", ec); // out of the folder before it goes
  return status;
}
