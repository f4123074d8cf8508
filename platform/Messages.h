#pragma once
// Hidden windows and their messages: the part of a windowing system the
// serial layer needs. A window belongs to the thread that created it; its
// procedure runs only on that thread, either from ProcessOneMessage() or
// from the main thread's event loop bridge. Works without any toolkit.
#include <cstdint>
#include <functional>
#include <string>

namespace platform {

struct HiddenWindow;
using HWND = HiddenWindow *;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using WindowProc = LRESULT (*)(HWND wnd, uint32_t msg, WPARAM wParam, LPARAM lParam);

// Registers a class once per process; false when the name is taken.
bool RegisterWindowClass(const std::string &className, WindowProc proc);
bool IsWindowClassRegistered(const std::string &className);

// Creates a hidden window of a registered class bound to the calling thread;
// nullptr when the class is unknown. userData is returned by GetWindowData.
HWND CreateHiddenWindow(const std::string &className, void *userData);
// Destroys it; messages still queued for it are dropped, a sender waiting on
// it returns false. Must run on the owning thread.
void DestroyHiddenWindow(HWND wnd);
bool IsWindow(HWND wnd);
void *GetWindowData(HWND wnd);

// Queues a message for the window's thread; false when the window is gone.
bool PostMessage(HWND wnd, uint32_t msg, WPARAM wParam, LPARAM lParam);

// Runs the window's procedure on its thread and waits for it, at most
// timeoutMs. The sending thread handles nothing else meanwhile. On the owning
// thread the procedure is called directly. A send that times out before its
// procedure started is withdrawn and never runs. Returns true when the
// procedure ran (result stored when result != nullptr).
bool SendMessageTimeout(HWND wnd, uint32_t msg, WPARAM wParam, LPARAM lParam, uint32_t timeoutMs, LRESULT *result);

// Takes one pending message (sent or posted) of the calling thread and
// dispatches it. Returns false when none was waiting.
bool ProcessOneMessage();

// Waits until the calling thread has a pending message or timeoutMs passed.
bool WaitForMessage(uint32_t timeoutMs);

// Called (on the queuing thread) whenever a message is queued for the given
// thread's windows, so an event loop can wake and pump. One hook per thread;
// an empty function removes it.
void SetMessageArrivedHook(std::function<void()> hook); // for the calling thread

} // namespace platform
