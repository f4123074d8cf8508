// One client's conversation against a scripted rotator: order of replies,
// commands held for the unit, errors answered at once, quitting.
#include "netctl/Session.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using netctl::Done;
using netctl::Turn;

class FakeRotator : public netctl::Backend {
public:
  std::optional<netctl::Position> ReportedPosition() override { return position; }
  std::string Info() override { return "test unit"; }
  int AzimuthMax() override { return azMax; }
  void ReadPosition(std::function<void(std::optional<netctl::Position>)> done) override {
    if (holdReads)
      reads.push_back(std::move(done));
    else
      done(position);
  }
  void SetPosition(int az, int el, Done done) override {
    calls.push_back("P " + std::to_string(az) + " " + std::to_string(el));
    Take(std::move(done));
  }
  void Stop(Done done) override {
    calls.push_back("S");
    Take(std::move(done));
  }
  void Park(Done done) override {
    calls.push_back("K");
    Take(std::move(done));
  }
  void Move(Turn turn, Done done) override {
    calls.push_back("M " + std::to_string(int(turn)));
    Take(std::move(done));
  }
  void Take(Done done) {
    if (immediate)
      done(immediateCode);
    else
      held.push_back(std::move(done));
  }
  // Answers the oldest held command.
  void Complete(int code) {
    ASSERT_FALSE(held.empty());
    Done d = std::move(held.front());
    held.erase(held.begin());
    d(code);
  }

  std::optional<netctl::Position> position = netctl::Position{12, 3};
  int azMax = 360;
  bool holdReads = false;
  std::vector<std::function<void(std::optional<netctl::Position>)>> reads;
  bool immediate = false;
  int immediateCode = 0;
  std::vector<Done> held;
  std::vector<std::string> calls;
};

// A session as a server runs it, with what it sent.
struct Client {
  Client() {
    session = std::make_unique<netctl::Session>(
        rotator, netctl::Session::Output{[this](const std::string &r) { replies.push_back(r); }, [this] { ++closes; },
                                         [this] { ++resumes; }});
  }
  // Offers bytes as a server does: again after every resume, until used.
  std::string Feed(std::string bytes) {
    const std::size_t used = session->Receive(bytes);
    return bytes.substr(used);
  }
  std::string All() const {
    std::string s;
    for (const auto &r : replies)
      s += r;
    return s;
  }

  FakeRotator rotator;
  std::unique_ptr<netctl::Session> session;
  std::vector<std::string> replies;
  int closes = 0;
  int resumes = 0;
};

class SessionTest : public ::testing::Test, public Client {};

TEST_F(SessionTest, QueriesAnswerAtOnceOneWriteEach) {
  EXPECT_EQ(Feed("p\n+p\n_\n\n\r\n1\n"), "");
  ASSERT_EQ(replies.size(), 4u) << "blank lines get no reply";
  EXPECT_EQ(replies[0], "12.00\n3.00\n");
  EXPECT_EQ(replies[1], "get_pos:\nAzimuth: 12.00\nElevation: 3.00\nRPRT 0\n");
  EXPECT_EQ(replies[2], "test unit\n");
  EXPECT_EQ(replies[3].substr(replies[3].size() - 7), "RPRT 0\n");
  rotator.position.reset();
  Feed("p\n;p\n");
  EXPECT_EQ(replies[4], "RPRT -5\n");
  EXPECT_EQ(replies[5], "get_pos:;RPRT -5\n");
}

TEST_F(SessionTest, BadRequestsAreAnsweredAtOnceWithoutTouchingTheUnit) {
  Feed("x\nP 270\nP a b\nM 32 0\nM 3 0\nR 1\nP270 30\n");
  EXPECT_EQ(replies, (std::vector<std::string>{"RPRT -1\n", "RPRT -1\n", "RPRT -1\n", "RPRT -11\n", "RPRT -1\n",
                                               "RPRT -4\n", "RPRT -1\n"}));
  EXPECT_TRUE(rotator.calls.empty());
  EXPECT_FALSE(session->Busy());
}

TEST_F(SessionTest, ACommandHoldsLaterLinesUntilItsReply) {
  std::string rest = Feed("S\np\nP 1 2\n");
  EXPECT_EQ(rest, "p\nP 1 2\n");
  EXPECT_TRUE(session->Busy());
  EXPECT_TRUE(replies.empty());
  EXPECT_EQ(Feed(rest), rest) << "nothing is taken while the command is out";

  rotator.Complete(0);
  EXPECT_EQ(resumes, 1);
  EXPECT_EQ(replies, std::vector<std::string>{"RPRT 0\n"});
  rest = Feed(rest);
  EXPECT_EQ(rest, "");
  EXPECT_EQ(replies.back(), "12.00\n3.00\n") << "p after S comes after S's reply";
  EXPECT_TRUE(session->Busy());
  rotator.Complete(-5);
  EXPECT_EQ(replies.back(), "RPRT -5\n");
  EXPECT_EQ(rotator.calls, (std::vector<std::string>{"S", "P 1 2"}));
}

TEST_F(SessionTest, ARepliedAtOnceCommandNeedsNoResume) {
  rotator.immediate = true;
  EXPECT_EQ(Feed("P 10 20\n+S\nK\nM CW 0\np\n"), "");
  EXPECT_EQ(All(), "RPRT 0\nstop:\nRPRT 0\nRPRT 0\nRPRT 0\n12.00\n3.00\n");
  EXPECT_EQ(resumes, 0);
  EXPECT_EQ(rotator.calls, (std::vector<std::string>{"P 10 20", "S", "K", "M 1"}));
}

TEST_F(SessionTest, TargetsWithinTheRangeReachTheUnitRoundedTheRestAreRefused) {
  rotator.immediate = true;
  Feed("P 400 10\nP -30 20\nP 359,6 0\n\\set_pos 123.4 45.5\nP 500 0\nP 1e3 10\nP 10 200\nP -181 0\n+P 360.5 0\n");
  EXPECT_EQ(rotator.calls, (std::vector<std::string>{"P -30 20", "P 360 0", "P 123 46"}));
  EXPECT_EQ(All(), "RPRT -1\nRPRT 0\nRPRT 0\nRPRT 0\nRPRT -1\nRPRT -1\nRPRT -1\nRPRT -1\nset_pos: 360.5 0\nRPRT -1\n");
  // With overlap the same 400 is taken, and the limits say so.
  rotator.calls.clear();
  rotator.azMax = 450;
  Feed("P 400 10\nP 449,6 0\nP 450.4 0\n");
  EXPECT_EQ(rotator.calls, (std::vector<std::string>{"P 400 10", "P 450 0"}));
  replies.clear();
  Feed("\\dump_state\n");
  EXPECT_NE(All().find("max_az=450.000000\n"), std::string::npos) << All();
}

TEST_F(SessionTest, AReadTheBackendAnswersLaterHoldsLaterLinesLikeACommand) {
  rotator.holdReads = true;
  EXPECT_EQ(Feed("p\n+p\n"), "+p\n");
  EXPECT_TRUE(session->Busy());
  EXPECT_TRUE(replies.empty());
  ASSERT_EQ(rotator.reads.size(), 1u);
  rotator.reads[0](netctl::Position{7, 8});
  EXPECT_EQ(resumes, 1);
  EXPECT_EQ(Feed("+p\n"), "");
  ASSERT_EQ(rotator.reads.size(), 2u);
  rotator.reads[1](std::nullopt);
  rotator.reads[0](netctl::Position{1, 1}); // a second answer goes nowhere
  EXPECT_EQ(replies, (std::vector<std::string>{"7.00\n8.00\n", "get_pos:\nRPRT -5\n"}));
}

TEST_F(SessionTest, ByteByByteDeliveryGivesTheSameConversation) {
  rotator.immediate = true;
  const std::string stream = "p\r\nP 270,5 30\rx\n\\dump_state\n+p\n";
  Client whole;
  whole.rotator.immediate = true;
  whole.Feed(stream);
  for (char c : stream)
    EXPECT_EQ(Feed(std::string(1, c)), "");
  EXPECT_EQ(replies, whole.replies);
  EXPECT_EQ(rotator.calls, whole.rotator.calls);
}

TEST_F(SessionTest, QuitClosesWithoutAReplyAndIgnoresTheRest) {
  EXPECT_EQ(Feed("p\nq\np\nS\n"), "");
  EXPECT_EQ(replies.size(), 1u);
  EXPECT_EQ(closes, 1);
  EXPECT_TRUE(session->Closed());
  EXPECT_EQ(Feed("p\n"), "");
  EXPECT_EQ(replies.size(), 1u);
  EXPECT_TRUE(rotator.calls.empty());
}

TEST_F(SessionTest, AnOverlongLineIsRefusedOnceAndTheNextIsServed) {
  const std::string flood(1 << 20, 'P');
  for (std::size_t at = 0; at < flood.size(); at += 4096)
    EXPECT_EQ(Feed(flood.substr(at, 4096)), "");
  EXPECT_LE(session->Held(), netctl::LineReader::kDefaultLimit);
  EXPECT_TRUE(replies.empty());
  Feed("\np\n");
  EXPECT_EQ(replies, (std::vector<std::string>{"RPRT -1\n", "12.00\n3.00\n"}));
}

TEST_F(SessionTest, RepliesAfterTheClientLeftOrTwiceGoNowhere) {
  Feed("S\n");
  Done first = rotator.held.front();
  rotator.Complete(0);
  first(-6); // a second answer to the same command
  EXPECT_EQ(replies, std::vector<std::string>{"RPRT 0\n"});

  Feed("K\n");
  session.reset();
  rotator.Complete(0); // the session is gone
  EXPECT_EQ(replies.size(), 1u);
}

} // namespace
