// The dispatcher's two diagnostic recorders: the byte trace (a circular
// buffer of kind/data pairs) and the dispatch log (a queue of timestamped
// events), and their dumps to text files.
#include "dispatcher/AwUser.h"

#include <mutex>
#include <new>

#include "dispatcher/AwTraceFormat.h"
#include "platform/Clock.h"
#include "platform/SystemInfo.h"

namespace {

// Formatted text is handed to the file in pieces of about this size.
constexpr size_t kChunk = 4096;
// A trace entry: its kind, then its byte.
constexpr size_t kTraceEntryBytes = 2;

using Guard = std::lock_guard<platform::TCriticalSection>;

} // namespace

int32_t TApdBaseDispatcher::BeginByteTrace(uint32_t capacity) {
  Guard g(StateLock);
  if (!TraceBuffer.empty()) {
    // A trace already exists: start it over, keeping its size.
    TracePosition = 0;
    TraceWrapped = false;
  } else {
    if (capacity > MaxTraceCapacity)
      return ecBadArgument;
    try {
      TraceBuffer.assign(kTraceEntryBytes * static_cast<size_t>(capacity), 0);
    } catch (const std::bad_alloc &) {
      return ecOutOfMemory;
    }
    TraceCapacity = capacity;
    TracePosition = 0;
    TraceWrapped = false;
  }
  TraceActive = true;
  return ecOK;
}

void TApdBaseDispatcher::RecordTraceByte(uint8_t kind, uint8_t data) {
  Guard g(StateLock);
  if (TraceBuffer.empty())
    return;
  TraceBuffer[kTraceEntryBytes * static_cast<size_t>(TracePosition)] = kind;
  TraceBuffer[kTraceEntryBytes * static_cast<size_t>(TracePosition) + 1] = data;
  if (static_cast<uint32_t>(++TracePosition) >= TraceCapacity) {
    TracePosition = 0;
    TraceWrapped = true;
  }
}

int32_t TApdBaseDispatcher::EmptyByteTrace() {
  Guard g(StateLock);
  TracePosition = 0;
  TraceWrapped = false;
  return ecOK;
}

void TApdBaseDispatcher::DropByteTrace() {
  Guard g(StateLock);
  TraceActive = false;
  std::vector<uint8_t>().swap(TraceBuffer);
  TraceCapacity = 0;
  TracePosition = 0;
  TraceWrapped = false;
}

void TApdBaseDispatcher::ResumeByteTrace() {
  Guard g(StateLock);
  TraceActive = !TraceBuffer.empty();
}

void TApdBaseDispatcher::PauseByteTrace() {
  Guard g(StateLock);
  TraceActive = false;
}

// Writes the trace, oldest entry first, and starts it over. Under StateLock
// for the whole file.
int32_t TApdBaseDispatcher::DumpTrace(const std::string &fileName, bool hex, bool allHex, bool append) {
  Guard g(StateLock);
  if (TraceBuffer.empty() || (!TraceWrapped && TracePosition == 0))
    return ecOK;

  awtrace::TTextFile file;
  const int32_t opened = file.Open(fileName, append);
  if (opened != 0) {
    DropByteTrace();
    return opened;
  }
  awtrace::TTraceFormatter formatter(hex, allHex);
  std::string text;
  text.reserve(kChunk + 64);
  const uint32_t end = static_cast<uint32_t>(TracePosition);
  uint32_t i = TraceWrapped ? end : 0;
  do {
    formatter.Add(TraceBuffer[kTraceEntryBytes * static_cast<size_t>(i)],
                  TraceBuffer[kTraceEntryBytes * static_cast<size_t>(i) + 1], text);
    if (text.size() >= kChunk) {
      file.Write(text);
      text.clear();
    }
    if (++i == TraceCapacity)
      i = 0;
  } while (i != end);
  formatter.Finish(text);
  file.Write(text);
  const int32_t result = file.Close();

  // A dump starts the trace over and switches it on.
  TracePosition = 0;
  TraceWrapped = false;
  TraceActive = true;
  return result;
}

int32_t TApdBaseDispatcher::SaveTraceFile(const std::string &fileName, bool hex, bool allHex) {
  return DumpTrace(fileName, hex, allHex, false);
}

int32_t TApdBaseDispatcher::AppendTraceFile(const std::string &fileName, bool hex, bool allHex) {
  return DumpTrace(fileName, hex, allHex, true);
}

void TApdBaseDispatcher::BeginEventLog(uint32_t limit) {
  LogQueue.Clear();
  LogLimit.store(limit);
  LogActive.store(true);
}

void TApdBaseDispatcher::RecordLogEvent(uint8_t type, uint16_t subType, uint32_t data, const void *bytes,
                                        uint32_t length) {
  if (!LogActive.load())
    return;
  if (!bytes)
    length = 0;
  // The limit bounds the bytes held before each new entry: drop the oldest
  // while the total is above it.
  for (uint32_t limit = LogLimit.load(); limit != 0 && limit < LogQueue.BytesQueued();)
    if (!LogQueue.PopBuffer())
      break;
  const uint32_t time = platform::MillisecondClock() - LogClockStart.load();
  try {
    LogQueue.PushBuffer(std::make_unique<TLogBuffer>(type, subType, time, data, bytes, length));
  } catch (const std::bad_alloc &) {
    // A diagnostic entry is not worth failing the caller for.
  }
}

void TApdBaseDispatcher::EmptyEventLog() { LogQueue.Clear(); }

void TApdBaseDispatcher::DropEventLog() {
  LogActive.store(false);
  LogQueue.Clear();
}

void TApdBaseDispatcher::ResumeEventLog() { LogActive.store(true); }

void TApdBaseDispatcher::PauseEventLog() { LogActive.store(false); }

// Writes the header and the entries present now, taking them out of the
// queue. Under StateLock for the whole file.
int32_t TApdBaseDispatcher::DumpLog(const std::string &fileName, bool hex, bool allHex, bool append) {
  if (LogQueue.Count() == 0)
    return ecOK;
  Guard g(StateLock);
  awtrace::TTextFile file;
  const int32_t opened = file.Open(fileName, append);
  if (opened != 0)
    return opened; // the log stays as it is
  const platform::LocalDateTime now = platform::LocalNow();
  file.Write(awtrace::FormatLogHeader(DeviceName, awtrace::CompilerDescription(),
                                      platform::OperatingSystemDescription(),
                                      {now.Year, now.Month, now.Day, now.Hour, now.Minute, now.Second}));
  // Only the entries present now: a busy line must not keep the dump going.
  std::string text;
  for (size_t n = LogQueue.Count(); n > 0; --n) {
    std::unique_ptr<TIOBuffer> b = LogQueue.PopBuffer();
    if (!b)
      break;
    const auto *e = static_cast<const TLogBuffer *>(b.get());
    awtrace::TLogEntryView v{e->Type, e->SubType,     e->Time,
                             e->Data, e->Bytes.get(), static_cast<uint32_t>(e->Size > 0 ? e->Size : 0)};
    text += awtrace::FormatLogEntry(v, hex, allHex);
    if (text.size() >= kChunk) {
      file.Write(text);
      text.clear();
    }
  }
  file.Write(text);
  return file.Close();
}

int32_t TApdBaseDispatcher::SaveLogFile(const std::string &fileName, bool hex, bool allHex) {
  return DumpLog(fileName, hex, allHex, false);
}

int32_t TApdBaseDispatcher::AppendLogFile(const std::string &fileName, bool hex, bool allHex) {
  return DumpLog(fileName, hex, allHex, true);
}

void TApdBaseDispatcher::ResetTraceAndLog() {
  DropByteTrace();
  LogActive.store(false);
  LogClockStart.store(platform::MillisecondClock());
}
