#pragma once
// Text forms of the byte trace and the dispatch log. Pure formatting plus a
// small buffered text-file writer; the recorders themselves live in the
// dispatcher (AwUserTrace.cpp) and hand their entries to these functions
// while they hold StateLock.
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace awtrace {

// Both files end their lines the way the platform's text files do.
inline constexpr char kLineEnd[] = "\n";

// Kind bytes of trace entries.
inline constexpr uint8_t kTraceReceive = 'R';
inline constexpr uint8_t kTraceTransmit = 'T';

// Log entries of this type carry user text: all-hex leaves their bytes raw.
inline constexpr uint8_t kLogTypeUser = 19;

// Message-table lookup (code -> text); the default is the errors table.
using TextLookup = std::function<std::string(int32_t)>;
const TextLookup &DefaultTextLookup();

// Appends the display form of one data byte and returns its display width.
// rawInAllHex: all-hex prints the raw character (width 1) instead of [XX].
int AppendDataByte(std::string &out, uint8_t b, bool hex, bool allHex, bool rawInAllHex = false);

// Streams trace entries, oldest first, into trace-file text.
class TTraceFormatter {
public:
  TTraceFormatter(bool hex, bool allHex) : hex_(hex), allHex_(allHex) {}
  void Add(uint8_t kind, uint8_t byte, std::string &out);
  // Ends the last line (if any entry was added) so an appended dump starts
  // on a line of its own.
  void Finish(std::string &out);

private:
  bool hex_, allHex_;
  bool first_ = true;
  uint8_t kind_ = 0;
  int column_ = 0;
};

// The whole text of a trace buffer laid out as the dispatcher keeps it:
// 2 bytes per entry (kind, data), oldest entry at 0 or, once wrapped, at
// position. Empty when there is nothing to write.
std::string FormatTrace(const uint8_t *buffer, uint32_t capacity, uint32_t position, bool wrapped, bool hex,
                        bool allHex);

// 12345 -> "0012.345": at least seven digits, a point before the last three.
std::string FormatLogTime(uint32_t ms);

struct TLogEntryView {
  uint8_t Type = 0;
  uint16_t SubType = 0;
  uint32_t Time = 0;
  uint32_t Data = 0;
  const uint8_t *Bytes = nullptr;
  uint32_t Length = 0;
};

// One log entry as one or more complete lines.
std::string FormatLogEntry(const TLogEntryView &e, bool hex, bool allHex, const TextLookup &text = DefaultTextLookup());

struct TLocalTime {
  int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
};

// "Compiler : " names this build's compiler and version.
std::string CompilerDescription();

// The seven header lines of a log file.
std::string FormatLogHeader(const std::string &deviceName, const std::string &compiler,
                            const std::string &operatingSystem, const TLocalTime &now,
                            const TextLookup &text = DefaultTextLookup());

// A text file opened for replacing or appending, written through a 512-byte
// buffer. Results are 0 or a negated platform I/O error number.
class TTextFile {
public:
  TTextFile() = default;
  TTextFile(const TTextFile &) = delete;
  TTextFile &operator=(const TTextFile &) = delete;
  ~TTextFile();
  int32_t Open(const std::string &name, bool append);
  void Write(const std::string &text);
  // Also reports a write that failed earlier (a full disk must not read as
  // a saved file).
  int32_t Close();

private:
  std::FILE *file_ = nullptr;
  int writeError_ = 0;
  char buffer_[512];
};

} // namespace awtrace
