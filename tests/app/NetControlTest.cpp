// Network control end to end: the window with its real port against the
// simulated unit on a pseudo-terminal, driven by the protocol's real client
// program and by scripted clients on the loopback address.
#include "NetClient.h"

#include "app/NetServer.h"
#include "app/ProgramOptions.h"
#include "rotorsim/RotorSim.h"
#include "tests/netctl/CommaLocale.h"
#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

#include <QPushButton>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTimer>

#include <algorithm>
#include <optional>

namespace {

using rotorsim::Command;
using rotorsim::CommandRecord;
using Clock = std::chrono::steady_clock;
using support::ChildProcess;
using support::ChildResult;

bool IsPoll(const CommandRecord &c) { return c.command == Command::Poll || c.command == Command::PollBoth; }

bool IsPositionReply(const std::string &reply) {
  static const QRegularExpression re(QStringLiteral("^-?\\d+\\.\\d\\d\\n-?\\d+\\.\\d\\d\\n$"));
  return re.match(QString::fromStdString(reply)).hasMatch();
}

struct ClientRun {
  int rc = -1;
  std::string out;
  std::string err;
};

class NetControl : public ::testing::Test, public WindowFixture {
protected:
  static rotorsim::Options QuickUnit() {
    rotorsim::Options o;
    o.azSpeed = 120;
    o.elSpeed = 60;
    o.startAz = 10;
    o.startEl = 5;
    return o;
  }

  // The window on COM1 with a parking position of 123/45, polling every
  // `pollMs`, and its network control on a free loopback port.
  void Start(int pollMs = 200, const rotorsim::Options &unit = QuickUnit()) {
    rotorsim::ServerOptions so;
    so.linkPath = (dir / "COM1").string();
    unit_ = std::make_unique<rotorsim::PtyServer>(unit, so);
    SetConfig(CrLf({"1", "EN", std::to_string(pollMs).c_str(), "10", "123", "45", "1", "50", "50"}));
    Create();
    Listen();
    ASSERT_TRUE(RunEventsUntil([&] { return form->LastReportTime.has_value(); }))
        << "no report reached the window" << (boxes.empty() ? "" : ": " + boxes.back().text.toStdString());
  }
  void Listen() {
    control = std::make_unique<NetworkControl>(*form);
    ASSERT_TRUE(control->Listen(QHostAddress::LocalHost, 0)) << control->Server().ErrorText().toStdString();
    port = control->Server().Port();
  }
  void TearDown() override {
    control.reset();
    form.reset();
    unit_.reset();
  }

  std::vector<CommandRecord> Commands() {
    std::vector<CommandRecord> out;
    for (const CommandRecord &c : unit_->commands())
      if (!IsPoll(c))
        out.push_back(c);
    return out;
  }
  std::vector<std::string> CommandBytes() {
    std::vector<std::string> out;
    for (const CommandRecord &c : Commands())
      out.push_back(c.bytes);
    return out;
  }
  // Waits until the unit has received `n` commands other than polls.
  bool CommandsReach(std::size_t n) {
    return RunEventsUntil([&] { return Commands().size() >= n; });
  }

  // The event loop runs meanwhile: the server it talks to is on this thread.
  ClientRun Rotctl(const QStringList &commands) {
    std::vector<std::string> argv = {ZK_ROTCTL, "-m", "2", "-r", "127.0.0.1:" + std::to_string(port)};
    for (const QString &c : commands)
      argv.push_back(c.toStdString());
    ChildProcess p(argv);
    ClientRun r;
    if (!RunEventsUntil([&] { return p.Ended(); }, 30s))
      return r;
    const ChildResult done = p.Wait(0ms);
    r.rc = done.status;
    r.out = done.out;
    r.err = done.err;
    return r;
  }
  // The two numbers rotctl printed for "p".
  static bool Numbers(const std::string &out, double &az, double &el) {
    const QStringList lines = QString::fromStdString(out).split('\n', Qt::SkipEmptyParts);
    if (lines.size() < 2)
      return false;
    bool ok1 = false, ok2 = false;
    az = lines[lines.size() - 2].trimmed().toDouble(&ok1);
    el = lines[lines.size() - 1].trimmed().toDouble(&ok2);
    return ok1 && ok2;
  }

  std::unique_ptr<rotorsim::PtyServer> unit_;
  std::unique_ptr<NetworkControl> control;
  uint16_t port = 0;
};

// ------------------------------------------------------------ the real client

TEST_F(NetControl, RealClientReadsMovesStopsParksTurnsAndAsks) {
  Start();
  double az = -1, el = -1;
  ClientRun r = Rotctl({"p"});
  ASSERT_EQ(r.rc, 0) << r.err;
  ASSERT_TRUE(Numbers(r.out, az, el)) << r.out;
  EXPECT_EQ(az, 10);
  EXPECT_EQ(el, 5);

  r = Rotctl({"P", "270", "30"});
  ASSERT_EQ(r.rc, 0) << r.err;
  ASSERT_TRUE(CommandsReach(1));
  EXPECT_EQ(Commands()[0].bytes, "W270 030\r");
  EXPECT_EQ(FieldAsInteger(form->PBNumEdit1), 270);
  EXPECT_EQ(FieldAsInteger(form->PBNumEdit2), 30);

  // The unit arrives, as the client sees it.
  std::vector<double> seen;
  ASSERT_TRUE(RunEventsUntil(
      [&] {
        ClientRun p = Rotctl({"p"});
        double a = 0, e = 0;
        if (p.rc != 0 || !Numbers(p.out, a, e))
          return false;
        seen.push_back(a);
        return a == 270 && e == 30;
      },
      30s))
      << "last seen azimuth " << (seen.empty() ? -1 : seen.back());
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));

  struct Case {
    QStringList command;
    const char *bytes;
  } cases[] = {
      {{"S"}, "S\r"},
      {{"K"}, "W123 045\r"},
      {{"M", "16", "0"}, "R\r"},
      {{"M", "8", "0"}, "L\r"},
      {{"P", "350", "10"}, "W350 010\r"},
  };
  std::size_t n = Commands().size();
  for (const Case &c : cases) {
    r = Rotctl(c.command);
    EXPECT_EQ(r.rc, 0) << c.command.join(' ').toStdString() << ": " << r.err;
    ASSERT_TRUE(CommandsReach(n + 1)) << c.command.join(' ').toStdString();
    EXPECT_EQ(Commands()[n].bytes, c.bytes);
    ++n;
  }
  EXPECT_EQ(FieldAsInteger(form->PBNumEdit1), 350);
  // Beyond the range of a 360 unit: refused, nothing sent.
  r = Rotctl({"P", "400", "10"});
  EXPECT_NE(r.rc, 0);
  RunEventsFor(300ms);
  EXPECT_EQ(Commands().size(), n);

  r = Rotctl({"_"});
  EXPECT_EQ(r.rc, 0);
  EXPECT_NE(r.out.find("Zelkor G V1.0"), std::string::npos) << r.out;
}

// ------------------------------------------------------------ the buttons' rules

TEST_F(NetControl, AMoveWaitsItsQuietWithoutFreezingTheWindowAndThePollKeepsItsCadence) {
  Start(500);
  NetClient mover(port), watcher(port);
  ASSERT_TRUE(RunEventsUntil([&] { return !unit_->commands().empty(); }));
  auto isPoll = [](const std::string &bytes) { return !bytes.empty() && bytes[0] == 'C' && bytes.size() <= 3; };
  // Asked right after a poll, so the move goes out a whole quiet into the
  // period (see the cadence below).
  const std::size_t sentBefore = sent.size();
  ASSERT_TRUE(RunEventsUntil([&] { return sent.size() > sentBefore && isPoll(sent.back().bytes); }));

  // Timed from before the request to the arrival: that span holds the one
  // the window keeps, whatever the delays on either side.
  const auto t0 = Clock::now();
  mover.Send("P 90 20\n");
  ASSERT_TRUE(RunEventsUntil([&] { return form->Controller.Queued() == 1; }));
  EXPECT_FALSE(form->Timer1->Enabled()) << "the poll is held during the command";
  // The window answers others while the move waits.
  EXPECT_TRUE(IsPositionReply(watcher.Ask("p\n")));
  EXPECT_EQ(mover.NextRead(), "RPRT 0\n");
  EXPECT_TRUE(form->Timer1->Enabled());

  ASSERT_TRUE(CommandsReach(1));
  const CommandRecord move = Commands()[0];
  EXPECT_EQ(move.bytes, "W090 020\r");
  EXPECT_GE(move.first - t0, 200ms);
  // The polls around the move, timed as the window sent them: where the
  // cadence is kept, not where the bytes reached the unit.
  const std::size_t moveAt = SentIndex("W090 020\r");
  ASSERT_LT(moveAt, sent.size());
  std::optional<Clock::time_point> before;
  for (std::size_t i = 0; i < moveAt; ++i)
    if (isPoll(sent[i].bytes))
      before = sent[i].at;
  ASSERT_TRUE(before.has_value());
  std::size_t nextAt = sent.size();
  ASSERT_TRUE(RunEventsUntil([&] {
    for (nextAt = moveAt + 1; nextAt < sent.size() && !isPoll(sent[nextAt].bytes); ++nextAt) {
    }
    return nextAt < sent.size();
  }));
  // Unlike a button's, a network move does not push the poll a full period
  // on: a tracker sending targets every second would keep the unit unpolled.
  // Pushed on, the next poll would come 500 ms after the move at the
  // soonest; on the cadence it comes at most 300 ms after (the move went
  // out at least its 200 ms quiet after the last poll), so a timer run up to
  // 200 ms late by a busy machine still passes, and a push never does.
  EXPECT_GE(sent[moveAt].at - *before, 200ms);
  EXPECT_LT(sent[nextAt].at - sent[moveAt].at, 500ms + (support::kSanitizerBuild ? Scaled(150ms) : 0ms))
      << "the next poll when it is due";
  // A turn has no quiet before it.
  EXPECT_EQ(mover.Ask("M 2 0\n"), "RPRT 0\n");
  ASSERT_TRUE(CommandsReach(2));
  EXPECT_EQ(Commands()[1].bytes, "U\r");
}

TEST_F(NetControl, AButtonDuringTheQuietStartsItAgainAndAPortClosedMeanwhileIsReported) {
  Start(500);
  PauseForReal(); // the quiet runs out while the button blocks the window
  NetClient c(port);
  c.Send("P 90 20\n");
  ASSERT_TRUE(RunEventsUntil([&] { return form->Controller.Queued() == 1; }));
  form->Button5->click(); // blocks 200 ms, sends "A", releases the poll
  EXPECT_EQ(c.NextRead(), "RPRT 0\n");
  ASSERT_TRUE(CommandsReach(2));
  const auto cmds = Commands();
  EXPECT_EQ(cmds[0].bytes, "A\r");
  EXPECT_EQ(cmds[1].bytes, "W090 020\r");
  // Timed where the window sends: the far end's reading delays would blur it.
  const std::size_t button = SentIndex("A\r"), move = SentIndex("W090 020\r", button);
  ASSERT_LT(move, sent.size());
  EXPECT_GE(sent[move].at - sent[button].at, 200ms) << "a full quiet after the button's command";

  c.Send("S\n");
  ASSERT_TRUE(RunEventsUntil([&] { return form->Controller.Queued() == 1; }));
  form->ApdComPort1.SetOpen(false);
  EXPECT_EQ(c.NextRead(), "RPRT -5\n");
  EXPECT_TRUE(form->Timer1->Enabled()) << "given back, as a button's command does";
  EXPECT_EQ(Commands().size(), 2u);
}

TEST_F(NetControl, ARepeatedTargetIsAcknowledgedAndNotSentAgain) {
  Start();
  NetClient tracker(port);
  struct Step {
    const char *line;
    const char *sent; // nullptr: nothing goes out
  } steps[] = {
      {"P 100 20\n", "W100 020\r"}, {"P 100,4 20\n", nullptr},
      {"P 101 21\n", nullptr},    // within a degree
      {"P 99.6 19.5\n", nullptr}, // rounds to 100 20
      {"P 102 20\n", "W102 020\r"}, {"S\n", "S\r"},
      {"P 102 20\n", "W102 020\r"},                         // the stop ended the last move
      {"P 359 0\n", "W359 000\r"},  {"P 0,4 1\n", nullptr}, // across north
      {"P 360 2\n", "W000 002\r"},
  };
  std::vector<std::string> want;
  for (const Step &s : steps) {
    EXPECT_EQ(tracker.Ask(s.line), "RPRT 0\n") << s.line;
    if (s.sent)
      want.push_back(s.sent);
  }
  // A command of the window's own in between: the same target goes out again.
  ASSERT_TRUE(CommandsReach(want.size()));
  form->Button5->click();
  want.push_back("A\r");
  EXPECT_EQ(tracker.Ask("P 0 2\n"), "RPRT 0\n");
  want.push_back("W000 002\r");
  ASSERT_TRUE(CommandsReach(want.size()));
  EXPECT_EQ(CommandBytes(), want);
}

// ------------------------------------------------------------ scripted clients

TEST_F(NetControl, ClientsWithoutDumpStateGetWholeRepliesInOneRead) {
  Start();
  NetClient c(port);
  struct Case {
    const char *line;
    const char *reply; // nullptr: a position reply
  } cases[] = {
      {"p\n", nullptr},
      {"\\get_pos\n", nullptr},
      {"+p\n", "get_pos:\nAzimuth: 10.00\nElevation: 5.00\nRPRT 0\n"},
      {";\\get_pos\n", "get_pos:;Azimuth: 10.00;Elevation: 5.00;RPRT 0\n"},
      {"_\r\n", "Zelkor G V1.0\n"},
      {"\\dump_state\n", "1\n1\n0.000000\n360.000000\n0.000000\n180.000000\nmin_az=0.000000\n"
                         "max_az=360.000000\nmin_el=0.000000\nmax_el=180.000000\nsouth_zero=0\nrot_type=AzEl\ndone\n"},
      {"+P 10 5\n", "set_pos: 10 5\nRPRT 0\n"},
      {"P 11,6 5,2\r", "RPRT 0\n"}, // a comma decimal, a CR line end
      {"hello\n", "RPRT -1\n"},
      {"P\n", "RPRT -1\n"},
      {"M 99 0\n", "RPRT -1\n"},
      {"M 64 0\n", "RPRT -11\n"},
      {"\\reset 1\n", "RPRT -4\n"},
  };
  for (const Case &k : cases) {
    const std::string got = c.Ask(k.line);
    if (k.reply)
      EXPECT_EQ(got, k.reply) << k.line;
    else
      EXPECT_TRUE(IsPositionReply(got)) << k.line << " -> " << got;
  }
  // The capabilities come whole in one read, ending with the status line.
  for (const char *line : {"1\n", "\\dump_caps\n"}) {
    const std::string caps = c.Ask(line);
    EXPECT_EQ(caps.rfind("Caps dump for model:\t1\n", 0), 0u) << caps;
    EXPECT_NE(caps.find("Model name:\tZelkor G V1.0\n"), std::string::npos) << caps;
    ASSERT_GE(caps.size(), 7u);
    EXPECT_EQ(caps.substr(caps.size() - 7), "RPRT 0\n");
  }
  // 10 5 is where the unit already points: acknowledged, not sent.
  ASSERT_TRUE(CommandsReach(1));
  EXPECT_EQ(CommandBytes(), (std::vector<std::string>{"W012 005\r"}));
  EXPECT_EQ(c.Ask(std::string("\x00\xff\x1b[A\n", 6)), "RPRT -1\n");
  c.Send("q\n");
  EXPECT_TRUE(c.ClosedByServer());
  ASSERT_TRUE(RunEventsUntil([&] { return control->Server().Clients() == 0; }));
}

TEST_F(NetControl, FiveClientsPollingTogetherAllGetTheirReplies) {
  Start();
  constexpr int kClients = 5, kRounds = 6;
  std::vector<std::unique_ptr<NetClient>> clients;
  for (int i = 0; i < kClients; ++i)
    clients.push_back(std::make_unique<NetClient>(port));
  std::vector<int> replies(kClients, 0), bad(kClients, 0);
  std::vector<bool> waiting(kClients, false);
  QTimer every;
  QObject::connect(&every, &QTimer::timeout, [&] {
    for (int i = 0; i < kClients; ++i)
      if (!waiting[i] && replies[i] < kRounds) {
        clients[i]->Send("p\n");
        waiting[i] = true;
      }
  });
  every.start(500);
  const bool done = RunEventsUntil(
      [&] {
        for (int i = 0; i < kClients; ++i)
          if (waiting[i] && clients[i]->Ready(POLLIN)) {
            const std::string r = clients[i]->ReadOnce();
            if (r.empty())
              continue;
            waiting[i] = false;
            ++replies[i];
            bad[i] += !IsPositionReply(r);
          }
        return std::all_of(replies.begin(), replies.end(), [](int n) { return n >= kRounds; });
      },
      30s);
  EXPECT_TRUE(done);
  EXPECT_EQ(bad, std::vector<int>(kClients, 0));
  EXPECT_EQ(control->Server().Clients(), kClients);
}

TEST_F(NetControl, AFloodWithoutLineEndAndAClientLeavingMidLineHarmNoOne) {
  Start();
  NetClient flood(port), quiet(port), leaver(port);
  const std::string megabyte(1 << 20, 'x');
  ASSERT_TRUE(flood.Send(megabyte));
  EXPECT_TRUE(IsPositionReply(quiet.Ask("p\n")));
  EXPECT_EQ(flood.Ask("\n"), "RPRT -1\n") << "the cut line is refused once";
  EXPECT_TRUE(IsPositionReply(flood.Ask("p\n")));

  ASSERT_TRUE(leaver.Send("P 12"));
  ASSERT_TRUE(RunEventsUntil([&] { return control->Server().Clients() == 3; }));
  leaver.Close();
  ASSERT_TRUE(RunEventsUntil([&] { return control->Server().Clients() == 2; }));

  // One that leaves while its stop waits for the unit: the stop still goes out.
  {
    NetClient hasty(port);
    hasty.Send("S\n");
    ASSERT_TRUE(RunEventsUntil([&] { return form->Controller.Queued() == 1; }));
  }
  ASSERT_TRUE(CommandsReach(1));
  EXPECT_EQ(CommandBytes(), std::vector<std::string>{"S\r"});
  EXPECT_TRUE(IsPositionReply(quiet.Ask("p\n")));
  ASSERT_TRUE(RunEventsUntil([&] { return control->Server().Clients() == 2; }));
}

TEST_F(NetControl, AClientThatNeverReadsIsHeldBackAndTooManyClientsAreTurnedAway) {
  Start();
  NetClient greedy(port), quiet(port);
  // Requests whose replies are long, and never a read: the server stops
  // taking them once its unsent replies pile up, and TCP holds the client.
  std::string requests;
  for (int i = 0; i < 4096; ++i)
    requests += "1\n";
  std::size_t sent = 0;
  int stalls = 0;
  RunEventsUntil(
      [&] {
        const std::size_t n = greedy.TrySend(requests);
        sent += n;
        stalls = n == 0 ? stalls + 1 : 0;
        return stalls > 20 || sent > (std::size_t(32) << 20);
      },
      60s);
  EXPECT_LT(sent, std::size_t(32) << 20) << "the server never pushed back";
  EXPECT_TRUE(IsPositionReply(quiet.Ask("p\n")));
  greedy.Close();
  ASSERT_TRUE(RunEventsUntil([&] { return control->Server().Clients() == 1; }));

  std::vector<std::unique_ptr<NetClient>> many;
  while (int(many.size()) < NetServer::MaxClients - 1)
    many.push_back(std::make_unique<NetClient>(port));
  ASSERT_TRUE(RunEventsUntil([&] { return control->Server().Clients() == NetServer::MaxClients; }));
  NetClient extra(port);
  EXPECT_TRUE(extra.ClosedByServer());
  EXPECT_TRUE(IsPositionReply(many.back()->Ask("p\n")));
  EXPECT_TRUE(IsPositionReply(quiet.Ask("p\n")));
}

// ------------------------------------------------------------ no position known

TEST_F(NetControl, ThePositionIsRefusedWhenReportsStopAndWhenThePortIsClosed) {
  CreateOnFarEnd(200); // the test plays the unit and answers when it likes
  Listen();
  NetClient c(port);
  EXPECT_EQ(c.Ask("p\n"), "RPRT -5\n") << "no report yet";
  ASSERT_TRUE(peer->Send("AZ=123  EL=045\r\n"));
  ASSERT_TRUE(RunEventsUntil([&] { return form->Position1 == 123; }));
  EXPECT_EQ(c.Ask("p\n"), "123.00\n45.00\n");
  // No report for three poll periods.
  ASSERT_TRUE(RunEventsUntil([&] { return c.Ask("p\n") == "RPRT -5\n"; }));
  ASSERT_TRUE(peer->Send("AZ=124  EL=045\r\n"));
  ASSERT_TRUE(RunEventsUntil([&] { return c.Ask("p\n") == "124.00\n45.00\n"; }));

  form->ApdComPort1.SetOpen(false);
  for (const char *line : {"p\n", "P 1 2\n", "S\n", "K\n", "M 16 0\n"})
    EXPECT_EQ(c.Ask(line), "RPRT -5\n") << line;
  EXPECT_EQ(form->Controller.Queued(), 0u);
  EXPECT_EQ(c.Ask("_\n"), "Zelkor G V1.0\n");
}

TEST_F(NetControl, ATakenPortIsShownAndTheWindowRunsOn) {
  rotorsim::ServerOptions so;
  so.linkPath = (dir / "COM1").string();
  unit_ = std::make_unique<rotorsim::PtyServer>(QuickUnit(), so);
  SetConfig(CrLf({"1", "EN", "200", "10", "0", "0", "1", "50", "50"}));
  Create();
  QTcpServer holder;
  ASSERT_TRUE(holder.listen(QHostAddress::LocalHost, 0));
  ProgramOptions options;
  options.networkControl = true;
  options.port = holder.serverPort();
  EXPECT_EQ(StartNetworkControl(*form, options), nullptr);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_TRUE(boxes[0].text.contains(QStringLiteral("cannot listen on 127.0.0.1 port %1").arg(options.port)))
      << boxes[0].text.toStdString();
  const std::size_t before = unit_->commands().size();
  EXPECT_TRUE(RunEventsUntil([&] { return unit_->commands().size() > before; })) << "the poll goes on";

  options.networkControl = false;
  EXPECT_EQ(StartNetworkControl(*form, options), nullptr);
  EXPECT_EQ(boxes.size(), 1u);
}

// ------------------------------------------------------------ the program

TEST_F(NetControl, TheProgramRefusesUnknownOptionsAndServesWhenAsked) {
  ChildProcess bad({ZK_PROGRAM, "--verbose"}, {}, dir);
  ASSERT_TRUE(RunEventsUntil([&] { return bad.Ended(); }, 20s));
  const ChildResult refused = bad.Wait(0ms);
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find(UsageLine()), std::string::npos) << refused.err;
  EXPECT_FALSE(fs::exists(dir / "Zelkor_M.ini")) << "no window was started";

  rotorsim::ServerOptions so;
  so.linkPath = (dir / "COM1").string();
  unit_ = std::make_unique<rotorsim::PtyServer>(QuickUnit(), so);
  SetConfig(CrLf({"1", "EN", "200", "10", "0", "0", "1", "50", "50"}));
  {
    QTcpServer probe; // a port that is free now
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    port = probe.serverPort();
  }
  // The toolkit sets the program's locale from the environment: a comma
  // locale there must not reach the replies.
  CommaLocale comma;
  support::Env env;
  if (comma.Ok())
    env = {{"LOCPATH", comma.Folder()}, {"LC_ALL", CommaLocale::Name()}};
  ChildProcess program({ZK_PROGRAM, "--rotctld", std::to_string(port)}, env, dir);
  double az = -1, el = -1;
  const bool served = RunEventsUntil(
      [&] {
        ClientRun r = Rotctl({"p"});
        return r.rc == 0 && Numbers(r.out, az, el);
      },
      30s);
  EXPECT_TRUE(served);
  EXPECT_EQ(az, 10);
  EXPECT_EQ(el, 5);
  {
    NetClient raw(port);
    EXPECT_EQ(raw.Ask("p\n"), "10.00\n5.00\n") << (comma.Ok() ? "under a comma locale" : "");
  }
  ClientRun r = Rotctl({"P", "45", "10"});
  EXPECT_EQ(r.rc, 0) << r.err;
  EXPECT_TRUE(CommandsReach(1));
  if (!Commands().empty()) {
    EXPECT_EQ(Commands()[0].bytes, "W045 010\r");
  }
  program.Signal(SIGTERM);
  EXPECT_TRUE(RunEventsUntil([&] { return program.Ended(); }, 10s)) << program.Err();
}

} // namespace
