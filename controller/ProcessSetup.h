#pragma once
// What a process that runs the controller sets up once its Qt application
// exists: the port's events delivered from the event loop, and where the
// errors no handler catches are shown (a message box, a log line).
#include "comport/OoMisc.h"

#include <exception>
#include <functional>

class TControllerProcess {
public:
  explicit TControllerProcess(std::function<void(const std::exception &)> display);
  ~TControllerProcess();
  TControllerProcess(const TControllerProcess &) = delete;
  TControllerProcess &operator=(const TControllerProcess &) = delete;
};

// Around the whole run, before the application exists and after it is gone.
inline void BeginControllerRun() { RequestTimerResolution(); }
inline void EndControllerRun() { ReleaseTimerResolution(); }
