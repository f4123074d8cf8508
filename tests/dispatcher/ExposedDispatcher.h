#pragma once
// The platform dispatcher with its protected state opened, for tests that
// set up a ring or a table by hand or look at what an operation left behind.
#include "dispatcher/AwWin32.h"

class ExposedDispatcher : public TApdWin32Dispatcher {
public:
  using TApdWin32Dispatcher::TApdWin32Dispatcher;
  // As the most-derived class it stops the threads before its own part goes.
  ~ExposedDispatcher() override { Shutdown(); }
  using TApdBaseDispatcher::ActiveThreads;
  using TApdBaseDispatcher::ClosePending;
  using TApdBaseDispatcher::CurrentRate;
  using TApdBaseDispatcher::DeviceName;
  using TApdBaseDispatcher::DispatcherIndex;
  using TApdBaseDispatcher::DispatchWaitMs;
  using TApdBaseDispatcher::EventWord;
  using TApdBaseDispatcher::InputQueue;
  using TApdBaseDispatcher::LineErrorBits;
  using TApdBaseDispatcher::LogActive;
  using TApdBaseDispatcher::LogQueue;
  using TApdBaseDispatcher::MatchTable;
  using TApdBaseDispatcher::ModemBits;
  using TApdBaseDispatcher::Notifying;
  using TApdBaseDispatcher::OptionBits;
  using TApdBaseDispatcher::ReceiveLock;
  using TApdBaseDispatcher::ReceiveRing;
  using TApdBaseDispatcher::RingFull;
  using TApdBaseDispatcher::RingHead;
  using TApdBaseDispatcher::RingSeen;
  using TApdBaseDispatcher::RingTail;
  using TApdBaseDispatcher::Rs485Active;
  using TApdBaseDispatcher::Rs485Hardware;
  using TApdBaseDispatcher::RtsByFlow;
  using TApdBaseDispatcher::RtsOn;
  using TApdBaseDispatcher::StateLock;
  using TApdBaseDispatcher::StatusTable;
  using TApdBaseDispatcher::ThreadIds;
  using TApdBaseDispatcher::ThreadsStarted;
  using TApdBaseDispatcher::TimerTable;
  using TApdBaseDispatcher::TraceActive;
  using TApdBaseDispatcher::TraceBuffer;
  using TApdBaseDispatcher::TraceCapacity;
  using TApdBaseDispatcher::TracePosition;
  using TApdBaseDispatcher::TraceWrapped;
  using TApdBaseDispatcher::WindowHandlers;
  using TApdWin32Dispatcher::Device;
  using TApdWin32Dispatcher::ReaderThrottled;
};
