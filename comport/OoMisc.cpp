#include "comport/OoMisc.h"

#include <atomic>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/Messages.h"
#include "runtime/SysUtils.h"

namespace {

// Static initialisation runs on the main thread before main().
const std::thread::id gMainThread = std::this_thread::get_id();

std::atomic<int> gResolutionRequests{0};

// The serial layer asks for the finest timer resolution for the whole run.
struct ResolutionForTheRun {
  ResolutionForTheRun() { RequestTimerResolution(); }
  ~ResolutionForTheRun() { ReleaseTimerResolution(); }
};

std::mutex gDisplayMutex;
TExceptionDisplay gDisplay;
platform::HWND gRelay = nullptr;  // gDisplayMutex
std::deque<std::string> gRelayed; // gDisplayMutex

constexpr uint32_t kRelayMessage = 0x7F01;

platform::LRESULT RelayProc(platform::HWND, uint32_t msg, platform::WPARAM, platform::LPARAM) {
  if (msg != kRelayMessage)
    return 0;
  for (;;) {
    std::string text;
    {
      std::lock_guard<std::mutex> lk(gDisplayMutex);
      if (gRelayed.empty())
        return 0;
      text = std::move(gRelayed.front());
      gRelayed.pop_front();
    }
    ShowApplicationException(Exception(text));
  }
}

} // namespace

uint16_t ProcessOneMessage() { return platform::ProcessOneMessage() ? 1 : 0; }

bool FileNameExists(const char *name) {
  if (!name || !*name)
    return false;
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::path(name), ec);
}

void RequestTimerResolution() { ++gResolutionRequests; }

void ReleaseTimerResolution() {
  int n = gResolutionRequests.load();
  while (n > 0 && !gResolutionRequests.compare_exchange_weak(n, n - 1)) {
  }
}

int TimerResolutionRequests() { return gResolutionRequests.load(); }

namespace {
const ResolutionForTheRun gResolutionForTheRun;
}

bool IsMainThread() { return std::this_thread::get_id() == gMainThread; }

void SetApplicationExceptionDisplay(TExceptionDisplay display) {
  std::lock_guard<std::mutex> lk(gDisplayMutex);
  gDisplay = std::move(display);
}

void CreateExceptionRelay() {
  static bool registered = platform::RegisterWindowClass("awRelayWindow", RelayProc);
  (void)registered;
  std::lock_guard<std::mutex> lk(gDisplayMutex);
  if (!gRelay)
    gRelay = platform::CreateHiddenWindow("awRelayWindow", nullptr);
}

void DestroyExceptionRelay() {
  platform::HWND relay;
  {
    std::lock_guard<std::mutex> lk(gDisplayMutex);
    relay = gRelay;
    gRelay = nullptr;
  }
  if (relay)
    platform::DestroyHiddenWindow(relay);
}

void ShowApplicationException(const std::exception &e) {
  TExceptionDisplay display;
  {
    std::lock_guard<std::mutex> lk(gDisplayMutex);
    if (!IsMainThread() && gRelay) {
      gRelayed.emplace_back(e.what());
      platform::PostMessage(gRelay, kRelayMessage, 0, 0);
      return;
    }
    display = gDisplay;
  }
  if (display)
    display(e);
  else
    std::fprintf(stderr, "%s\n", e.what());
}
