#pragma once
// The dispatcher's numbers, named once: notification messages and their
// second parameter, sizes and time limits, the options the port component
// passes in, line error reports and the dispatch log's event types. The
// result codes belong to the error family (errors/AdResultCodes.h).
#include <cstdint>

#include "errors/AdResultCodes.h"
#include "platform/SerialDevice.h"

// Notification messages (dispatcher -> the component's hidden window).
constexpr uint32_t NotifyAvail = 0x7E01;
constexpr uint32_t NotifyData = 0x7E02;
constexpr uint32_t NotifyTimer = 0x7E03;
constexpr uint32_t NotifyStatus = 0x7E04;
constexpr uint32_t NotifyClosePending = 0x7E0A;

// A notification's second parameter: the dispatcher's index in the high 16
// bits, a 16-bit value in the low ones.
constexpr intptr_t NotifyParam(int32_t dispatcherIndex, uint32_t data) {
  return intptr_t(int32_t(uint32_t(dispatcherIndex) * 65536u + data));
}
constexpr uint32_t NotifyParamIndex(intptr_t param) { return (uint32_t(param) >> 16) & 0xFFFF; }
constexpr uint16_t NotifyParamData(intptr_t param) { return uint16_t(uint32_t(param) & 0xFFFF); }

constexpr uint32_t ReceiveRingSize = 8192;
// How long a notification may keep the dispatch thread waiting for a window.
constexpr uint32_t NotifyTimeoutMs = 3000;
// How long the start waits for each thread to report, and a flush of output
// for the write thread to drop its block.
constexpr uint32_t ThreadStartTimeoutMs = 3000;
constexpr uint32_t FlushTimeoutMs = 5000;
// While a transmit-side status trigger waits for its condition, the timer
// pass that checks it runs at least this often.
constexpr uint32_t StatusPassSliceMs = 50;
// The rate assumed from an open until the line settings are written.
constexpr uint32_t RateAfterOpen = 115200;

// Line options given to OpenDispatcher.
constexpr uint8_t loDtrOn = 0x01;
constexpr uint8_t loRtsOn = 0x02;
constexpr uint8_t loDtrByFlow = 0x10;
constexpr uint8_t loRtsByFlow = 0x20;

// ApplyLineFormat: argument values that keep the current setting (rate 0
// keeps the rate).
constexpr uint8_t lfKeepStopBits = 3;
constexpr uint8_t lfKeepParity = 5;
constexpr uint8_t lfKeepDataBits = 9;

// Options of SetHardwareFlow and ReadFlowOptions.
constexpr uint32_t hfUseDtr = 0x01;
constexpr uint32_t hfUseRts = 0x02;
constexpr uint32_t hfRequireDsr = 0x04;
constexpr uint32_t hfRequireCts = 0x08;
// Options of EnableSoftwareFlow and ReadFlowOptions.
constexpr uint32_t sfTransmit = 0x01;
constexpr uint32_t sfReceive = 0x02;

// RecomputeNotifyWanted: look again at the handlers, or the component has
// (or has no longer) a trigger event assigned.
constexpr int nwRecompute = 0;
constexpr int nwTriggerEventsAssigned = 1;
constexpr int nwNoTriggerEvents = 2;

// Option bits the component sets and clears (stored only).
constexpr uint32_t obUseEventWord = 0x04;

// What ReadLineError reports: the first line error bit set, or a lost device.
constexpr uint8_t leNone = 0;
constexpr uint8_t leRxOverflow = 1;
constexpr uint8_t leOverrun = 2;
constexpr uint8_t leParity = 3;
constexpr uint8_t leFraming = 4;
constexpr uint8_t leBreak = 9;
constexpr uint8_t leDeviceLost = 10;
// The platform's line error bits a refresh takes in.
constexpr uint32_t LineErrorMask =
    platform::ceRxOver | platform::ceOverrun | platform::ceRxParity | platform::ceFrame | platform::ceBreak;
// LineErrorBits after a background thread's read or write failed.
constexpr int32_t LineErrorsDeviceLost = -1;

// The dispatcher's modem status byte: the platform's line levels in the high
// nibble, changes since the last report in the low one.
constexpr uint32_t mdDeltaCts = 0x01;
constexpr uint32_t mdDeltaDsr = 0x02;
constexpr uint32_t mdTrailingRing = 0x04;
constexpr uint32_t mdDeltaDcd = 0x08;
constexpr uint32_t mdDeltas = 0x0F;
constexpr uint32_t mdLevels = 0xF0;
// A level bit's change is its delta bit: levels >> 4.
constexpr int mdDeltaShift = 4;

// Comm events as the receive cycle groups them.
constexpr uint32_t evRingEvents = platform::evRing | platform::evRingTe;
constexpr uint32_t evModemEvents = platform::evCts | platform::evDsr | platform::evRlsd | evRingEvents;
constexpr uint32_t evLineEvents = platform::evBreak | platform::evErr;
// Everything the status thread hands over as an event word (all but the
// received character, which only wakes the read thread).
constexpr uint32_t evStatusWord = evModemEvents | evLineEvents;

// Log event types and subtypes recorded by the dispatcher.
constexpr uint8_t dlDispatch = 1;
constexpr uint8_t dlTrigger = 2;
constexpr uint8_t dlTriggerHandlerAlloc = 7;
constexpr uint8_t dlTriggerHandlerDispose = 8;
constexpr uint8_t dlTriggerDataChange = 9;
constexpr uint16_t dstReadCom = 1;
constexpr uint16_t dstWriteCom = 2;
constexpr uint16_t dstAvailTrigger = 5;
constexpr uint16_t dstTimerTrigger = 6;
constexpr uint16_t dstDataTrigger = 7;
constexpr uint16_t dstStatus = 8;
constexpr uint16_t dstStatusTrigger = 8;
constexpr uint16_t dstAvail = 16;
constexpr uint16_t dstWindow = 17;

// The largest byte trace, in entries.
constexpr uint32_t MaxTraceCapacity = 4000000;
