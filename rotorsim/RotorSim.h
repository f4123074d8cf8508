#pragma once
// A simulated rotator control unit.
//
// Two layers:
//  - `Unit` is a pure state machine: feed it received bytes with their time,
//    ask it for the bytes it wants to send by a given time. It never reads a
//    clock and never sleeps, so tests step it with any times they like.
//  - `PtyServer` puts a `Unit` at the far end of a pseudo-terminal: it owns
//    the master side, a background thread and (optionally) a symbolic link to
//    the slave device. Open `devicePath()` (or the link) as the serial port.
//
// The protocol, as the unit understands it (every command ends with CR, 13):
//   "C" CR, "C2" CR         poll: answered with the 16-byte report
//                           "AZ=aaa  EL=eee" CR LF (three digits each)
//   "M" ddd CR              move azimuth to ddd (0..360, or 0..450)
//   "MB" ddd CR             move elevation to ddd (0..180)
//   "W" ddd " " ddd CR      move both (azimuth, elevation)
//   "A" / "E" / "S" CR      stop azimuth / elevation / both
//   "L" / "R" CR            turn azimuth counter-clockwise / clockwise
//   "D" / "U" CR            turn elevation down / up
// Every command other than a poll is answered with a single CR. Anything
// else, including a target out of range, is ignored up to the next CR and
// gets no answer. Other dialects answer as their units do (`Dialect`). LF bytes at the start of a command are skipped,
// so lines ending in CR LF work too.
//
// Motion: a move runs to its target at the axis speed, a turn runs until a
// stop or its end stop (azimuth 0..360 or 0..450, elevation 0..180), a stop holds the
// axis at once. Reported positions are whole degrees; a moving axis reports
// the last whole degree it has passed, so a target is reported only once it
// is reached.
//
// Typical use in a test:
//   rotorsim::PtyServer unit(rotorsim::Options{});   // real clock
//   ... open unit.devicePath(), write "C\r", read the 16-byte report ...
//   unit.hangUp();                                   // the user sees the device lost
// or, with simulated time:
//   auto clock = std::make_shared<rotorsim::ManualClock>();
//   rotorsim::PtyServer unit(options, {}, clock);
//   ... write "M090\r" ...; clock->advance(15s); unit.wake();
//   unit.settle();    // everything due by now has been written
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace rotorsim {

using Duration = std::chrono::steady_clock::duration;
using TimePoint = std::chrono::steady_clock::time_point;

// ---------------------------------------------------------------- clocks

class Clock {
public:
  virtual ~Clock() = default;
  virtual TimePoint now() const = 0;
  // True when time passes by itself, so a waiter may sleep until a due time.
  // A manual clock moves only when told; the server then checks it often.
  virtual bool realTime() const = 0;
};

class SteadyClock final : public Clock {
public:
  TimePoint now() const override { return std::chrono::steady_clock::now(); }
  bool realTime() const override { return true; }
};

// Moves only by advance()/set(); safe to use from several threads.
class ManualClock final : public Clock {
public:
  explicit ManualClock(TimePoint start = TimePoint{});
  TimePoint now() const override;
  bool realTime() const override { return false; }
  void advance(Duration d);
  void set(TimePoint t);

private:
  std::atomic<int64_t> ticks_;
};

// --------------------------------------------------------------- options

// Which axes a jammed rotator holds.
enum class StallAxis { Both, Azimuth, Elevation };

struct Faults {
  Duration replyDelay{};                                // every answer leaves this late
  std::vector<int> splitSizes;                          // report cut into pieces of these sizes
                                                        // (the rest is one last piece); empty: whole
  Duration splitPause = std::chrono::milliseconds(100); // between pieces
  bool leadingCr = false;                               // a CR before each report (17 bytes)
  double garbagePerSecond = 0;                          // random bytes sent at this steady rate
  uint32_t seed = 1;                                    // for the garbage byte values
  bool mute = false;                                    // acts on commands but never answers
  bool stall = false;                                   // answers moves and turns, but nothing moves
  StallAxis stallAxis = StallAxis::Both;                // ... on these axes
  int hangUpAfter = 0;                                  // hang up after this many commands; 0: never
};

// How the answers reach the computer. On a real line each byte takes its
// character time (start bit, data bits, parity, stop bits at the line's
// rate: 9600 8N1 gives about 1.04 ms); an adapter then hands the bytes on
// one at a time, or whatever gathered each latency-timer period.
enum class Delivery {
  Line,    // each byte as it leaves the wire
  Burst,   // every answer (or report piece) in one write, at once
  Chunked, // paced on the wire, handed over every `chunkPeriod` at a random phase
};

struct Wire {
  Delivery delivery = Delivery::Line;
  Duration chunkPeriod = std::chrono::milliseconds(16);
  // Pace as if the line ran at this rate; 0: the rate the device is set to.
  int baud = 0;
};

// The line's format as the device is set: rate and bits per character
// (start + data + parity + stop).
struct LineFormat {
  int baud = 9600;
  int bitsPerChar = 10;
  Duration charTime() const;
};

// How the unit answers. The units of this protocol family in the field
// answer a poll in forms of their own, answer other commands differently,
// and some greet or go quiet when the port is opened (see dialects()).
enum class Dialect {
  Report16,      // "AZ=aaa  EL=eee" CR LF to C and C2, CR to other commands
  Variant2,      // C: "AZ=aaa" CR LF; C2: the 16-byte report; CR; "? >" CR LF to unknown lines
  Variant1,      // C: "+0aaa" CR LF; C2: "+0aaa+0eee" CR LF; CR to other commands
  Firmware,      // C: "AZ=aaa" CR LF; C2: "AZ=aaaEL=eee" CR LF; an empty line; "?>" CR LF; resets on open
  FirmwarePlus0, // the same firmware in the sign form
  CloneCr,       // "+0aaa+0eee" CR to both; silent otherwise; a banner on open
  CloneLfCr,     // the same with LF CR line ends
  Hobby,         // "AZ=5 EL=12" CR LF (no padding, one space); CR LF; resets on open
  AzOnly,        // "AZ=aaa" CR to both, no elevation; silent otherwise
};

struct DialectInfo {
  Dialect dialect;
  const char *name; // as --dialect takes it
  const char *help; // one line for --help
};
const std::vector<DialectInfo> &dialects();
std::optional<Dialect> dialectNamed(std::string_view name);

struct Options {
  Dialect dialect = Dialect::Report16;
  // Deaf and silent this long after the port opens (a board that resets
  // on DTR); empty: as the dialect's unit does.
  std::optional<Duration> openSilence;
  double azSpeed = 6.0; // degrees per second, > 0
  double elSpeed = 3.0;
  int startAz = 0;
  int startEl = 0;
  // The azimuth's travel: 360, or 450 for a unit with overlap (360..450 is
  // north to east a second time, reported as such).
  int azRange = 360;
  Faults faults;
  Wire wire;
  // The record keeps at most this many bytes and commands (oldest dropped).
  size_t recordLimit = size_t(1) << 20;
};

// ---------------------------------------------------------------- record

enum class Command {
  Poll,      // "C"
  PollBoth,  // "C2"
  MoveAz,    // "M" ddd
  MoveEl,    // "MB" ddd
  MoveBoth,  // "W" ddd " " ddd
  StopAz,    // "A"
  StopEl,    // "E"
  StopBoth,  // "S"
  TurnCcw,   // "L"
  TurnCw,    // "R"
  TurnDown,  // "D"
  TurnUp,    // "U"
  Ignored,   // anything else up to a CR
  Unfinished // bytes still waiting for their CR (only from pendingCommand())
};

struct ReceivedByte {
  TimePoint time;
  uint8_t byte;
};

struct CommandRecord {
  TimePoint first;   // time of the first byte
  TimePoint last;    // time of the CR (or of the last byte so far)
  std::string bytes; // as received, CR included (long junk is cut at 64)
  Command command = Command::Ignored;
  int az = -1; // targets of a move, else -1
  int el = -1;
  std::string answer = {}; // what the unit said back (unless mute)
};

struct Position {
  int az = 0;
  int el = 0;
  bool operator==(const Position &) const = default;
};

// One log line (no line end): time since origin in seconds, the bytes in
// readable form, their codes in hex and what the unit made of them.
//   "   3.250 (+2 ms)  M045<CR>  [4D 30 34 35 0D]  move azimuth to 45"
std::string formatLogLine(const CommandRecord &rec, TimePoint origin);
std::string describe(const CommandRecord &rec);
// The 16-byte report for a position.
std::string report(Position p);
// What a unit of the dialect sends: the answer to "C" (or to "C2", `both`),
// after a move, stop or turn, to a line it does not know, and when the port
// is opened (after its silence, if it has one).
std::string pollAnswer(Dialect d, bool both, Position p);
std::string commandAnswer(Dialect d);
std::string unknownAnswer(Dialect d);
std::string openBanner(Dialect d);
Duration openSilence(Dialect d);

// ------------------------------------------------------------------ unit

class Unit {
public:
  Unit(const Options &options, TimePoint start);

  // Bytes that arrived at `at` (times must not go backwards). Returns the
  // commands completed by these bytes, in order.
  std::vector<CommandRecord> receive(std::string_view bytes, TimePoint at);

  // The user opened the port at `at`: a unit that resets on it drops what
  // it was sending, hears nothing for its silence, then greets.
  void portOpened(TimePoint at);

  // The line's format from now on (the server reads it off the device);
  // answers already on the wire keep their pace. A fixed `Wire::baud` wins.
  void setLineFormat(LineFormat format);
  LineFormat lineFormat() const { return line_format_; }

  // Removes and returns every byte handed over by `now`, one string per
  // hand-over (a write of its own), in order.
  std::vector<std::string> takeDeliveries(TimePoint now);
  // The same, joined.
  std::string takeOutput(TimePoint now);

  // When something is next due: a hand-over, a garbage byte or the hang-up.
  // Empty when nothing is pending.
  std::optional<TimePoint> nextDue() const;

  Position position(TimePoint now) const;
  bool moving(TimePoint now) const;

  // True once the hang-up fault has fired and its last answer is due.
  bool hangUpDue(TimePoint now) const;
  // Commands acted on so far (ignored ones not counted).
  int commandsHandled() const { return handled_; }

  const std::deque<ReceivedByte> &received() const { return received_; }
  const std::deque<CommandRecord> &commands() const { return commands_; }
  // Bytes of a command whose CR has not come yet.
  std::optional<CommandRecord> pendingCommand() const;

  const Options &options() const { return options_; }

private:
  struct Axis {
    double speed;
    int min, max;
    double from;     // where the current segment started
    TimePoint since; // when it started
    int dir = 0;     // -1, 0, +1
    int limit = 0;   // where the segment ends (target or end stop)
    double raw(TimePoint t) const;
    int reported(TimePoint t) const;
    bool moving(TimePoint t) const;
    void hold(TimePoint t);
    void moveTo(int target, TimePoint t);
    void turn(int direction, TimePoint t);
  };
  struct Out {
    TimePoint handOver; // when the computer gets the byte
    char byte;
  };

  void finishLine(TimePoint at, std::vector<CommandRecord> &done);
  void act(CommandRecord &rec, TimePoint at);
  void answer(std::string bytes, bool isReport, TimePoint at);
  void send(const std::string &bytes, TimePoint due);
  TimePoint handOverOf(TimePoint arrival) const;
  void trim();

  Options options_;
  Axis az_, el_;
  std::deque<ReceivedByte> received_;
  std::deque<CommandRecord> commands_;
  std::optional<CommandRecord> line_;
  std::deque<Out> out_;
  TimePoint lastDue_;
  TimePoint wireFree_;     // when the last byte put on the wire has left it
  TimePoint lastHandOver_; // of the last answer byte
  TimePoint chunkPhase_;   // a hand-over tick of the chunked delivery
  LineFormat line_format_;
  std::optional<TimePoint> garbageNext_;
  Duration garbageStep_{};
  std::mt19937 rng_;
  int handled_ = 0;
  std::optional<TimePoint> hangUpAt_;
  std::optional<TimePoint> deafUntil_;
};

// ------------------------------------------------------------ pty server

// The rate and character size a terminal device is set to; empty if it
// cannot tell.
std::optional<LineFormat> readLineFormat(int fd);

// One hand-over to the computer: when it was written and what.
struct Delivered {
  TimePoint time;
  std::string bytes;
};

struct ServerOptions {
  // Where to put a symbolic link to the slave device; empty: none. An old
  // symbolic link there is replaced; anything else there is an error.
  std::string linkPath;
  // Called on the server thread for every completed command (ignored ones
  // too). It must not throw or call back into the server.
  std::function<void(const CommandRecord &)> onCommand;
};

// A unit at the far end of a pseudo-terminal, run by a background thread.
// The slave side is raw, 9600 8N1; the server holds one slave descriptor of
// its own so that the device survives the user closing and reopening it.
// Answers the user does not read wait (up to 64 KiB beyond what the kernel
// buffers, then they are dropped); the server never blocks on them.
// All methods are safe from any thread except the onCommand callback.
class PtyServer {
public:
  // Throws std::system_error when the pseudo-terminal or link cannot be made.
  explicit PtyServer(const Options &options, ServerOptions server = {}, std::shared_ptr<Clock> clock = nullptr);
  // Stops the thread, closes the device and removes the link.
  ~PtyServer();
  PtyServer(const PtyServer &) = delete;
  PtyServer &operator=(const PtyServer &) = delete;

  const std::string &devicePath() const { return device_; }
  const std::string &linkPath() const { return link_; }
  TimePoint startTime() const { return start_; }

  // The far end hangs up: the master is closed (the user's reads see the
  // device lost), the thread ends and the link is removed. Idempotent.
  void hangUp();
  // True after hangUp() or after the hang-up fault fired.
  bool hungUp() const { return hungUp_.load(); }

  // Makes the thread look at the clock now (after a ManualClock moved).
  void wake();
  // Waits until the thread has taken and written everything due by the
  // clock's present time (a full turn of its loop begun after this call).
  // False if the thread has ended or the timeout passed first.
  bool settle(std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // Snapshots, taken under the server's lock.
  std::vector<ReceivedByte> received() const;
  std::vector<CommandRecord> commands() const;
  // Every write to the user's end, with its time (bounded like the record).
  std::vector<Delivered> delivered() const;
  std::optional<CommandRecord> pendingCommand() const;
  Position position() const;
  int commandsHandled() const;

private:
  void run();
  void closeDevice();
  void removeLink();

  std::shared_ptr<Clock> clock_;
  ServerOptions server_;
  TimePoint start_;
  std::mutex lifeMutex_;
  mutable std::mutex mutex_;
  std::condition_variable turned_;
  uint64_t turns_ = 0;   // loop turns completed, under mutex_
  int settling_ = 0;     // callers waiting in settle(), under mutex_
  bool running_ = false; // under mutex_
  Unit unit_;
  std::deque<Delivered> delivered_; // under mutex_
  std::string device_;
  std::string link_;
  bool linked_ = false;
  int master_ = -1;
  int slave_ = -1;
  int wakeFd_ = -1;
  int openWatch_ = -1; // tells when the user opens the device
  std::atomic<bool> stop_{false};
  std::atomic<bool> hungUp_{false};
  std::thread thread_;
};

// ------------------------------------------------------------ the program

struct ProgramOptions {
  Options unit;
  std::string linkPath;
  std::string logPath;
  std::string socketPath; // also serve the line on this unix socket
  bool help = false;
};

// Parses the program's arguments (without the program name). Returns an
// empty string on success, otherwise a one-line message.
std::string parseArguments(const std::vector<std::string> &args, ProgramOptions &out);
// The --help text.
std::string usageText();

} // namespace rotorsim
