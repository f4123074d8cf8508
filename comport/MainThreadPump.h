#pragma once
// Delivers the main thread's window messages from Qt's event loop: a message
// queued for a main-thread window from any thread wakes the loop, which then
// takes the pending messages one at a time between its own events.
class MainThreadPump {
public:
  // Call on the main thread once the QApplication exists. Idempotent.
  static void Install();
  // Stops delivery from the event loop; messages stay queued.
  static void Uninstall();
  static bool Installed();
};
