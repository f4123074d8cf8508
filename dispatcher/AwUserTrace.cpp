// Byte trace and dispatch log recorders. Entries are kept in memory; the
// file dumps are written by the trace formatter.
#include "dispatcher/AwUser.h"

#include <memory>

using Guard = std::lock_guard<platform::TCriticalSection>;

namespace {
constexpr uint32_t kMaxTraceEntries = 4000000;
}

void TApdBaseDispatcher::ResetTraceAndLog() {
  {
    Guard s(StateLock);
    TraceActive = false;
    TraceBuffer.clear();
    TraceBuffer.shrink_to_fit();
    TracePosition = 0;
    TraceCapacity = 0;
    TraceWrapped = false;
  }
  LogActive.store(false);
  LogClockStart = platform::MillisecondClock();
}

int32_t TApdBaseDispatcher::BeginByteTrace(uint32_t capacity) {
  Guard s(StateLock);
  if (!TraceBuffer.empty()) {
    TracePosition = 0;
    TraceWrapped = false;
  } else {
    if (capacity > kMaxTraceEntries)
      return ecBadArgument;
    TraceBuffer.assign(size_t(capacity) * 2, 0);
    TraceCapacity = capacity;
    TracePosition = 0;
    TraceWrapped = false;
  }
  TraceActive = true;
  return ecOK;
}

void TApdBaseDispatcher::RecordTraceByte(uint8_t kind, uint8_t data) {
  Guard s(StateLock);
  if (TraceBuffer.empty() || TraceCapacity == 0)
    return;
  TraceBuffer[size_t(TracePosition) * 2] = kind;
  TraceBuffer[size_t(TracePosition) * 2 + 1] = data;
  if (uint32_t(++TracePosition) >= TraceCapacity) {
    TracePosition = 0;
    TraceWrapped = true;
  }
}

int32_t TApdBaseDispatcher::EmptyByteTrace() {
  Guard s(StateLock);
  TracePosition = 0;
  TraceWrapped = false;
  return ecOK;
}

void TApdBaseDispatcher::DropByteTrace() {
  Guard s(StateLock);
  TraceActive = false;
  TraceBuffer.clear();
  TraceBuffer.shrink_to_fit();
  TraceCapacity = 0;
  TracePosition = 0;
  TraceWrapped = false;
}

void TApdBaseDispatcher::ResumeByteTrace() {
  Guard s(StateLock);
  if (!TraceBuffer.empty())
    TraceActive = true;
}

void TApdBaseDispatcher::PauseByteTrace() {
  Guard s(StateLock);
  TraceActive = false;
}

// File output belongs to the trace formatter; until it is wired in, a dump
// leaves the recorded entries in place and reports success.
int32_t TApdBaseDispatcher::SaveTraceFile(const std::string &, bool, bool) { return ecOK; }
int32_t TApdBaseDispatcher::AppendTraceFile(const std::string &, bool, bool) { return ecOK; }

void TApdBaseDispatcher::BeginEventLog(uint32_t limit) {
  LogQueue.Clear();
  LogLimit = limit;
  LogActive.store(true);
}

void TApdBaseDispatcher::RecordLogEvent(uint8_t type, uint16_t subType, uint32_t data,
                                        const void *bytes, uint32_t length) {
  if (!LogActive.load())
    return;
  while (LogLimit != 0 && LogLimit < LogQueue.BytesQueued()) {
    if (!LogQueue.PopBuffer())
      break;
  }
  uint32_t now = platform::MillisecondClock() - LogClockStart;
  LogQueue.PushBuffer(std::make_unique<TLogBuffer>(type, subType, now, data, bytes, length));
}

void TApdBaseDispatcher::EmptyEventLog() { LogQueue.Clear(); }

void TApdBaseDispatcher::DropEventLog() {
  LogActive.store(false);
  LogQueue.Clear();
}

void TApdBaseDispatcher::ResumeEventLog() { LogActive.store(true); }
void TApdBaseDispatcher::PauseEventLog() { LogActive.store(false); }

int32_t TApdBaseDispatcher::SaveLogFile(const std::string &, bool, bool) { return ecOK; }
int32_t TApdBaseDispatcher::AppendLogFile(const std::string &, bool, bool) { return ecOK; }
