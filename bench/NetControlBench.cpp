// Network control of the running window (real port component, simulated
// unit on a pseudo-terminal):
//  1. "p" reply latency, request sent to the whole reply read, with 1 and
//     with 20 clients polling at once (10 ms between a client's requests),
//     against a bare Qt server on the same thread that answers each line
//     with a fixed reply;
//  2. the time from "P" on the socket to the move's first byte at the unit,
//     against the 200 ms of quiet every move waits.
// Ends with one "FIGURE name: value (ratio X)" line per figure.
#include "app/Application.h"
#include "app/NetServer.h"
#include "app/Unit1.h"
#include "platform/SerialDevice.h"
#include "rotorsim/RotorSim.h"
#include "Stats.h"

#include "tests/support/TempDir.h"

#include <QCoreApplication>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

using bench::Micros;
using bench::Stats;
using bench::Summarise;

double Ratio(double a, double b) { return b > 0 ? a / b : 0; }

// Runs the event loop until done() holds or the limit passed.
bool Loop(const std::function<bool()> &done, std::chrono::seconds limit = 60s) {
  QTimer tick;
  tick.start(5);
  const auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > end)
      return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

// A blocking client on its own thread.
class Client {
public:
  explicit Client(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
      throw std::runtime_error("connect");
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  ~Client() { close(fd_); }
  // Sends a line and reads until the reply has `lines` lines.
  bool Ask(const std::string &line, int lines) {
    if (send(fd_, line.data(), line.size(), MSG_NOSIGNAL) != ssize_t(line.size()))
      return false;
    int seen = 0;
    char buf[4096];
    while (seen < lines) {
      const ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0)
        return false;
      seen += int(std::count(buf, buf + n, '\n'));
    }
    return true;
  }

private:
  int fd_ = -1;
};

// `clients` threads, each asking "p" `rounds` times with 10 ms between.
std::vector<double> PollLatency(uint16_t port, int clients, int rounds) {
  std::vector<std::vector<double>> samples(clients);
  std::atomic<int> finished{0};
  std::atomic<bool> failed{false};
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c)
    threads.emplace_back([&, c] {
      try {
        Client client(port);
        for (int i = 0; i < rounds + 5; ++i) {
          const auto t0 = Clock::now();
          if (!client.Ask("p\n", 2)) {
            failed = true;
            break;
          }
          if (i >= 5)
            samples[c].push_back(Micros(Clock::now() - t0));
          std::this_thread::sleep_for(10ms);
        }
      } catch (...) {
        failed = true;
      }
      ++finished;
    });
  const bool done = Loop([&] { return finished.load() == clients; });
  for (auto &t : threads)
    t.join();
  if (!done || failed)
    throw std::runtime_error("the polling clients did not finish");
  std::vector<double> all;
  for (auto &s : samples)
    all.insert(all.end(), s.begin(), s.end());
  return all;
}

// The floor: a Qt server on this thread that answers every line at once.
class BareServer {
public:
  BareServer() {
    QObject::connect(&server_, &QTcpServer::newConnection, [this] {
      while (QTcpSocket *s = server_.nextPendingConnection()) {
        s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        QObject::connect(s, &QTcpSocket::readyRead, s, [s] {
          const QByteArray got = s->readAll();
          for (qsizetype i = 0; i < got.count('\n'); ++i)
            s->write("10.00\n5.00\n", 12);
          s->flush();
        });
        QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
      }
    });
    server_.listen(QHostAddress::LocalHost, 0);
  }
  uint16_t Port() const { return server_.serverPort(); }

private:
  QTcpServer server_;
};

} // namespace

int main(int argc, char **argv) {
  signal(SIGPIPE, SIG_IGN);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  TApplication app(argc, argv);
  SetMessageBoxHandler(
      [](const QString &, const QString &text) { std::fprintf(stderr, "message: %s\n", text.toUtf8().constData()); });
  const support::TempDir scratch("netctl-bench");
  const std::string dir = scratch.Path().string();
  int status = 0;
  struct Figure {
    std::string name;
    double value;
    const char *unit;
    double ratio;
  };
  std::vector<Figure> figures;
  try {
    for (const char *f : {"Zelkor_M_language.csv", "Windrose_AZ.jpg"})
      fs::copy_file(fs::path(ZK_DATA) / f, fs::path(dir) / f);
    std::FILE *ini = std::fopen((dir + "/Zelkor_M.ini").c_str(), "wb");
    std::fputs("1\r\nEN\r\n1000\r\n10\r\n0\r\n0\r\n1\r\n50\r\n50\r\n", ini);
    std::fclose(ini);
    rotorsim::Options unitOptions;
    unitOptions.azSpeed = 360; // moves end quickly; only their start is measured
    unitOptions.elSpeed = 180;
    rotorsim::ServerOptions so;
    so.linkPath = dir + "/COM1";
    rotorsim::PtyServer unit(unitOptions, so);
    platform::SetStartDirectory(dir);
    fs::current_path(dir);
    auto form = std::make_unique<TForm1>();
    if (!Loop([&] { return form->LastReportTime.has_value(); }, 20s))
      throw std::runtime_error("no report reached the window");
    auto control = std::make_unique<NetworkControl>(*form);
    if (!control->Listen(QHostAddress::LocalHost, 0))
      throw std::runtime_error("cannot listen");
    const uint16_t port = control->Server().Port();
    BareServer bare;

    std::printf("%-44s %14s %14s %8s\n", "", "window", "bare", "ratio");
    auto row = [](const std::string &what, double a, double b, const char *unit) {
      std::printf("%-44s %11.1f %-2s %11.1f %-2s %8.2f\n", what.c_str(), a, unit, b, unit, Ratio(a, b));
    };
    for (const auto &[clients, rounds] : {std::pair{1, 500}, std::pair{20, 150}}) {
      const Stats ours = Summarise(PollLatency(port, clients, rounds));
      const Stats floor = Summarise(PollLatency(bare.Port(), clients, rounds));
      const std::string what = "p reply, " + std::to_string(clients) + (clients == 1 ? " client" : " clients");
      row(what + ", median", ours.median, floor.median, "us");
      row(what + ", p99", ours.p99, floor.p99, "us");
      const std::string name = "netctl p reply " + std::to_string(clients) + (clients == 1 ? " client" : " clients");
      figures.push_back({name + " median", ours.median, "us", Ratio(ours.median, floor.median)});
      figures.push_back({name + " p99", ours.p99, "us", Ratio(ours.p99, floor.p99)});
    }

    // "P" to the move's first byte at the unit; targets far apart so that
    // none is skipped as a repeat.
    std::vector<double> moves;
    std::atomic<bool> moverDone{false};
    std::atomic<bool> moverFailed{false};
    std::vector<Clock::time_point> sentAt;
    std::thread mover([&] {
      try {
        Client c(port);
        for (int i = 0; i < 25; ++i) {
          const int az = (i % 2) ? 200 : 20;
          sentAt.push_back(Clock::now());
          if (!c.Ask("P " + std::to_string(az) + " 10\n", 1)) {
            moverFailed = true;
            break;
          }
        }
      } catch (...) {
        moverFailed = true;
      }
      moverDone = true;
    });
    Loop([&] { return moverDone.load(); });
    mover.join();
    if (moverFailed)
      throw std::runtime_error("the moving client failed");
    Loop(
        [&] {
          std::size_t n = 0;
          for (const auto &c : unit.commands())
            n += c.command == rotorsim::Command::MoveBoth;
          return n >= sentAt.size();
        },
        10s);
    std::vector<rotorsim::CommandRecord> ws;
    for (const auto &c : unit.commands())
      if (c.command == rotorsim::Command::MoveBoth)
        ws.push_back(c);
    for (std::size_t i = 0; i < sentAt.size() && i < ws.size(); ++i)
      moves.push_back(std::chrono::duration<double, std::milli>(ws[i].first - sentAt[i]).count());
    const Stats move = Summarise(moves);
    const double quiet = 200.0;
    row("P to the move's first byte, median (ms)", move.median, quiet, "");
    row("P to the move's first byte, p99 (ms)", move.p99, quiet, "");
    figures.push_back({"netctl P to first move byte median", move.median, "ms", Ratio(move.median, quiet)});
    figures.push_back({"netctl P to first move byte p99", move.p99, "ms", Ratio(move.p99, quiet)});

    control.reset();
    form.reset();
  } catch (const std::exception &e) {
    std::fprintf(stderr, "network control benchmark failed: %s\n", e.what());
    status = 1;
  }
  std::error_code ec;
  fs::current_path("/", ec); // out of the folder before it goes
  for (const Figure &f : figures)
    std::printf("FIGURE %s: %.2f %s (ratio %.2f)\n", f.name.c_str(), f.value, f.unit, f.ratio);
  return status;
}
