#pragma once
// Helpers shared by the serial layer: the wrapping clock and tick timers, the
// one-message pump, file existence, the timer-resolution request, the base
// of the components, and the application's exception display.
#include <cstdint>
#include <exception>
#include <functional>
#include <string>

#include "platform/Clock.h"

using platform::MillisecondClock;
using platform::StartTickTimer;
using platform::TickTimerExpired;
using platform::TTickTimer;

// Takes and dispatches one pending window message of the calling thread;
// 0 when there was none.
uint16_t ProcessOneMessage();

bool FileNameExists(const char *name);

// The finest timer resolution request made at start and released at the end.
// Linux timers need no such request: both only keep the count balanced.
void RequestTimerResolution();
void ReleaseTimerResolution();
int TimerResolutionRequests();

// True on the thread that ran the program's static start (the main thread).
bool IsMainThread();

// The application's standard exception display (a message box in the
// program). Without one installed, the message goes to standard error.
using TExceptionDisplay = std::function<void(const std::exception &)>;
void SetApplicationExceptionDisplay(TExceptionDisplay display);
// On the main thread the display is called at once. Another thread's
// exception is handed to the main thread when a relay exists (its message
// travels as a runtime Exception), else written to standard error.
void ShowApplicationException(const std::exception &e);
// Call on the main thread; MainThreadPump::Install does.
void CreateExceptionRelay();
void DestroyExceptionRelay();

class TApdBaseComponent {
public:
  virtual ~TApdBaseComponent() = default;
  std::string Version() const { return "v4.07"; }
  void SetVersion(const std::string &) {} // read-only in effect
};
