#include "comport/OoMisc.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/Messages.h"

namespace {

// Static initialisation runs on the main thread before main().
const std::thread::id gMainThread = std::this_thread::get_id();

std::atomic<int> gResolutionRequests{0};

std::mutex gDisplayMutex;
TExceptionDisplay gDisplay;

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

bool IsMainThread() { return std::this_thread::get_id() == gMainThread; }

void SetApplicationExceptionDisplay(TExceptionDisplay display) {
  std::lock_guard<std::mutex> lk(gDisplayMutex);
  gDisplay = std::move(display);
}

void ShowApplicationException(const std::exception &e) {
  TExceptionDisplay display;
  {
    std::lock_guard<std::mutex> lk(gDisplayMutex);
    display = gDisplay;
  }
  if (display)
    display(e);
  else
    std::fprintf(stderr, "%s\n", e.what());
}
