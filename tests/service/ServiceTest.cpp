// zelkord as a process: a real network client drives the simulated unit
// through it; it ends cleanly on a signal and frees the port at once, says
// so when the port is held, waits for an unplugged device and stops a
// stalled rotator once.
#include "rotorsim/RotorSim.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Files.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using rotorsim::Command;
using support::ChildProcess;
using support::Scaled;
using support::WaitFor;

// A loopback port nobody listens on just now.
uint16_t FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

int Count(const std::string &text, const std::string &what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++n;
  return n;
}

struct ClientRun {
  int rc = -1;
  std::string out, err;
};

class Service : public ::testing::Test {
protected:
  rotorsim::PtyServer &StartUnit(rotorsim::Options o) {
    rotorsim::ServerOptions so;
    so.linkPath = (dir.Path() / "COM1").string();
    units.push_back(std::make_unique<rotorsim::PtyServer>(o, so));
    return *units.back();
  }
  static rotorsim::Options QuickUnit() {
    rotorsim::Options o;
    o.azSpeed = 120;
    o.elSpeed = 60;
    o.startAz = 10;
    o.startEl = 5;
    return o;
  }
  // Port 1, polled every 200 ms, parking at 123/45.
  void WriteSettings() {
    support::WriteFile(dir.Path() / "Zelkor_M.ini", "1\r\nEN\r\n200\r\n10\r\n123\r\n45\r\n1\r\n50\r\n50\r\n");
  }
  // Starts a service in the folder; true once it serves. A port taken by
  // someone else between our look and its listen is tried anew.
  std::unique_ptr<ChildProcess> Start(uint16_t &port) {
    for (int attempt = 0; attempt < 3; ++attempt) {
      port = FreePort();
      auto p = std::make_unique<ChildProcess>(
          std::vector<std::string>{ZK_ZELKORD, "--rotctld", "127.0.0.1:" + std::to_string(port)}, support::Env{},
          dir.Path());
      WaitFor([&] { return p->Err().find("serving network clients") != std::string::npos || p->Ended(); });
      if (!p->Ended() || p->Err().find("cannot listen") == std::string::npos)
        return p;
    }
    return nullptr;
  }
  void StartService() {
    service = Start(port);
    ASSERT_TRUE(service && service->Ended() == false) << (service ? service->Err() : "");
  }
  ClientRun Rotctl(std::vector<std::string> commands) {
    std::vector<std::string> argv = {ZK_ROTCTL, "-m", "2", "-r", "127.0.0.1:" + std::to_string(port)};
    argv.insert(argv.end(), commands.begin(), commands.end());
    const support::ChildResult r = support::RunCommand(argv, {}, {}, Scaled(30000ms));
    return {r.status, r.out, r.err};
  }
  // The two numbers rotctl printed for "p".
  static bool Numbers(const std::string &out, double &az, double &el) {
    std::istringstream in(out);
    std::vector<double> values;
    std::string line;
    while (std::getline(in, line)) {
      char *end = nullptr;
      const double v = std::strtod(line.c_str(), &end);
      if (end != line.c_str())
        values.push_back(v);
    }
    if (values.size() < 2)
      return false;
    az = values[values.size() - 2];
    el = values.back();
    return true;
  }
  // Waits until "p" answers with this azimuth.
  bool Reads(int az) {
    return WaitFor(
        [&] {
          double a = 0, e = 0;
          const ClientRun r = Rotctl({"p"});
          return r.rc == 0 && Numbers(r.out, a, e) && a == az;
        },
        Scaled(20000ms));
  }
  std::vector<std::string> Sent(const rotorsim::PtyServer &unit) {
    std::vector<std::string> out;
    for (const auto &c : unit.commands())
      if (c.command != Command::Poll && c.command != Command::PollBoth)
        out.push_back(c.bytes);
    return out;
  }
  int CountOf(const rotorsim::PtyServer &unit, Command kind) {
    const auto all = unit.commands();
    return int(std::count_if(all.begin(), all.end(), [&](const auto &c) { return c.command == kind; }));
  }
  bool Logged(const std::string &what, std::chrono::milliseconds limit = Scaled(10000ms)) {
    return WaitFor([&] { return service->Err().find(what) != std::string::npos; }, limit);
  }

  support::TempDir dir{"service"};
  std::vector<std::unique_ptr<rotorsim::PtyServer>> units;
  std::unique_ptr<ChildProcess> service;
  uint16_t port = 0;
};

TEST_F(Service, ARealClientReadsMovesStopsAndParks) {
  rotorsim::PtyServer &unit = StartUnit(QuickUnit());
  WriteSettings();
  const std::string settings = support::ReadFile(dir.Path() / "Zelkor_M.ini");
  StartService();
  ASSERT_TRUE(Reads(10)) << service->Err();

  struct Case {
    std::vector<std::string> command;
    const char *bytes;
  } cases[] = {
      {{"P", "270", "30"}, "W270 030\r"},
      {{"S"}, "S\r"},
      {{"K"}, "W123 045\r"},
  };
  std::size_t n = Sent(unit).size();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.command[0]);
    const ClientRun r = Rotctl(c.command);
    EXPECT_EQ(r.rc, 0) << r.err;
    ASSERT_TRUE(WaitFor([&] { return Sent(unit).size() > n; }));
    EXPECT_EQ(Sent(unit)[n], c.bytes);
    ++n;
  }
  ASSERT_TRUE(Reads(123)) << "the park reaches the unit and the position comes back";

  // Each client was logged coming and going, with its address.
  EXPECT_GE(Count(service->Err(), "client 127.0.0.1:"), 2 * 4);
  EXPECT_GE(Count(service->Err(), " gone"), 4);
  EXPECT_EQ(support::ReadFile(dir.Path() / "Zelkor_M.ini"), settings) << "the service never writes its settings";
}

TEST_F(Service, SigtermDuringAMoveEndsCleanlyAndThePortOpensAtOnceForTheNext) {
  rotorsim::Options slow = QuickUnit();
  slow.azSpeed = 6;
  rotorsim::PtyServer &unit = StartUnit(slow);
  WriteSettings();
  StartService();
  ASSERT_TRUE(Reads(10)) << service->Err();
  ASSERT_EQ(Rotctl({"P", "300", "0"}).rc, 0);
  ASSERT_TRUE(WaitFor([&] { return CountOf(unit, Command::MoveBoth) == 1; }));
  ASSERT_NE(unit.position().az, 300) << "still moving";

  service->Signal(SIGTERM);
  const support::ChildResult end = service->Wait(Scaled(5000ms));
  EXPECT_FALSE(end.timedOut);
  EXPECT_EQ(end.status, 0) << end.err;
  EXPECT_NE(end.err.find("SIGTERM"), std::string::npos) << end.err;
  EXPECT_NE(end.err.find("port COM1 closed"), std::string::npos) << end.err;

  // The next program gets the port straight away.
  uint16_t next = 0;
  auto again = Start(next);
  ASSERT_TRUE(again && again->Ended() == false) << (again ? again->Err() : "");
  EXPECT_NE(again->Err().find("port COM1 opened"), std::string::npos) << again->Err();
  again->Signal(SIGINT);
  const support::ChildResult second = again->Wait(Scaled(5000ms));
  EXPECT_EQ(second.status, 0) << second.err;
}

TEST_F(Service, APortHeldByAnotherProgramEndsItAtOnceSayingWhy) {
  StartUnit(QuickUnit());
  WriteSettings();
  StartService();
  ASSERT_TRUE(Logged("port COM1 opened"));

  uint16_t other = 0;
  auto second = Start(other);
  ASSERT_TRUE(second);
  const support::ChildResult r = second->Wait(Scaled(5000ms));
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("port COM1 is held by another program"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("serving network clients"), std::string::npos) << "no client is served without the port";
  EXPECT_TRUE(service->Ended() == false) << "the first goes on";
}

TEST_F(Service, AnUnpluggedDeviceIsWaitedForAndTakenUpAgain) {
  rotorsim::Options o = QuickUnit();
  o.startAz = 30;
  rotorsim::PtyServer &first = StartUnit(o);
  WriteSettings();
  StartService();
  ASSERT_TRUE(Reads(30)) << service->Err();

  // Unplugged: the link stays behind, pointing at nothing (not at the old
  // name, which another test's next pseudo-terminal may get).
  const std::string device = first.devicePath();
  first.hangUp();
  fs::remove(dir.Path() / "COM1");
  fs::create_symlink(device + "-unplugged", dir.Path() / "COM1");
  ASSERT_TRUE(Logged("port COM1 lost")) << service->Err();
  const ClientRun away = Rotctl({"p"});
  double az = 0, el = 0;
  EXPECT_FALSE(away.rc == 0 && Numbers(away.out, az, el)) << "no position while the device is away: " << away.out;

  o.startAz = 200;
  StartUnit(o);
  ASSERT_TRUE(Logged("port COM1 back", Scaled(15000ms))) << service->Err();
  ASSERT_TRUE(Reads(200));
  EXPECT_EQ(Count(service->Err(), "lost"), 1) << service->Err();
  EXPECT_TRUE(service->Ended() == false);
}

TEST_F(Service, AStalledUnitIsStoppedOnce) {
  rotorsim::Options o = QuickUnit();
  o.faults.stall = true;
  rotorsim::PtyServer &unit = StartUnit(o);
  WriteSettings();
  StartService();
  ASSERT_TRUE(Reads(10)) << service->Err();
  ASSERT_EQ(Rotctl({"P", "90", "0"}).rc, 0);
  ASSERT_TRUE(Logged("stall stop", Scaled(30000ms))) << service->Err();
  // Both axes are jammed and away from their targets: each is stopped once.
  ASSERT_TRUE(WaitFor([&] { return CountOf(unit, Command::StopAz) == 1 && CountOf(unit, Command::StopEl) == 1; }));
  // Reports go on; the guards stay off until the next command.
  ASSERT_TRUE(Reads(10));
  EXPECT_EQ(CountOf(unit, Command::StopAz), 1);
  EXPECT_EQ(CountOf(unit, Command::StopEl), 1);
  EXPECT_EQ(Count(service->Err(), "stall stop"), 2) << service->Err();
}

TEST_F(Service, AJammedElevationIsStoppedOnceAndSaidSo) {
  rotorsim::Options o = QuickUnit();
  o.faults.stall = true;
  o.faults.stallAxis = rotorsim::StallAxis::Elevation;
  rotorsim::PtyServer &unit = StartUnit(o);
  WriteSettings();
  StartService();
  ASSERT_TRUE(Reads(10)) << service->Err();
  ASSERT_EQ(Rotctl({"P", "90", "45"}).rc, 0);
  ASSERT_TRUE(Logged("the elevation did not move", Scaled(30000ms))) << service->Err();
  ASSERT_TRUE(WaitFor([&] { return CountOf(unit, Command::StopEl) == 1; }));
  ASSERT_TRUE(Reads(90)) << "the azimuth arrived";
  EXPECT_EQ(CountOf(unit, Command::StopEl), 1);
  EXPECT_EQ(CountOf(unit, Command::StopAz), 0);
  EXPECT_EQ(Count(service->Err(), "stall stop"), 1) << service->Err();
}

TEST_F(Service, MissingOrDamagedSettingsGiveTheDefaultsSaidOnce) {
  StartUnit(QuickUnit());
  struct Case {
    const char *name;
    const char *content; // nullptr: no file
    const char *why;
  } cases[] = {
      {"missing", nullptr, "no Zelkor_M.ini here; using the defaults"},
      {"damaged", "1\r\nEN\r\nfast\r\n", "line 3 (poll period)"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(dir.Path() / "Zelkor_M.ini");
    if (c.content)
      support::WriteFile(dir.Path() / "Zelkor_M.ini", c.content);
    StartService();
    ASSERT_TRUE(Logged("port COM1 opened, polling every 1000 ms")) << service->Err();
    EXPECT_EQ(Count(service->Err(), c.why), 1) << service->Err();
    EXPECT_EQ(Count(service->Err(), "using the defaults"), 1);
    EXPECT_EQ(fs::exists(dir.Path() / "Zelkor_M.ini"), c.content != nullptr) << "the file is never written";
    service->Signal(SIGTERM);
    EXPECT_EQ(service->Wait(Scaled(5000ms)).status, 0);
  }
}

TEST(ServiceOptions, HelpExplainsAndAWrongOptionSaysHowToCallIt) {
  const support::ChildResult help = support::RunCommand({ZK_ZELKORD, "--help"}, {}, {}, Scaled(5000ms));
  EXPECT_EQ(help.status, 0);
  for (const char *part : {"usage: zelkord", "--rotctld", "Zelkor_M.ini", "SIGTERM", "systemctl --user"})
    EXPECT_NE(help.out.find(part), std::string::npos) << part;
  const support::ChildResult wrong = support::RunCommand({ZK_ZELKORD, "--port", "3"}, {}, {}, Scaled(5000ms));
  EXPECT_EQ(wrong.status, 2);
  EXPECT_NE(wrong.err.find("unknown option '--port'"), std::string::npos) << wrong.err;
  EXPECT_NE(wrong.err.find("usage: zelkord"), std::string::npos);
}

} // namespace
