#include "platform/Messages.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

namespace platform {
namespace {

// State a blocked sender shares with the owning thread. The sender may give
// up (time-out) while the message is still queued; the owner then skips it.
struct SendState {
  std::mutex m;
  std::condition_variable cv;
  enum Phase { Pending, Running, Done, Withdrawn, Dropped } phase = Pending;
  LRESULT result = 0;
};

struct Message {
  HWND wnd;
  uint32_t msg;
  WPARAM wParam;
  LPARAM lParam;
  std::shared_ptr<SendState> send; // null for a posted message
};

// One queue per thread that owns windows (or pumps). Windows keep their
// queue alive, so a thread may end before its windows are gone.
struct ThreadQueue {
  std::mutex m;
  std::condition_variable cv;
  std::deque<Message> sent; // sent messages go before posted ones
  std::deque<Message> posted;
  std::function<void()> hook;
  std::thread::id owner;
};

std::shared_ptr<ThreadQueue> &ThisQueue() {
  thread_local std::shared_ptr<ThreadQueue> q;
  if (!q) {
    q = std::make_shared<ThreadQueue>();
    q->owner = std::this_thread::get_id();
  }
  return q;
}

} // namespace

struct HiddenWindow {
  WindowProc proc;
  void *userData;
  std::shared_ptr<ThreadQueue> queue;
};

namespace {

// Registry of classes and live windows. Lock order: registry, then a queue.
struct Registry {
  std::mutex m;
  std::map<std::string, WindowProc> classes;
  std::unordered_set<HWND> windows;
};

Registry &Reg() {
  static Registry *r = new Registry; // never destroyed: threads may outlive statics
  return *r;
}

void Notify(ThreadQueue &q) {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> lk(q.m);
    hook = q.hook;
  }
  q.cv.notify_all();
  if (hook)
    hook();
}

void FinishSend(SendState &s, SendState::Phase phase, LRESULT result) {
  {
    std::lock_guard<std::mutex> lk(s.m);
    s.phase = phase;
    s.result = result;
  }
  s.cv.notify_all();
}

} // namespace

bool RegisterWindowClass(const std::string &className, WindowProc proc) {
  Registry &r = Reg();
  std::lock_guard<std::mutex> lk(r.m);
  if (className.empty() || !proc)
    return false;
  return r.classes.emplace(className, proc).second;
}

bool IsWindowClassRegistered(const std::string &className) {
  Registry &r = Reg();
  std::lock_guard<std::mutex> lk(r.m);
  return r.classes.count(className) != 0;
}

HWND CreateHiddenWindow(const std::string &className, void *userData) {
  Registry &r = Reg();
  std::shared_ptr<ThreadQueue> q = ThisQueue();
  std::lock_guard<std::mutex> lk(r.m);
  auto it = r.classes.find(className);
  if (it == r.classes.end())
    return nullptr;
  HWND w = new HiddenWindow{it->second, userData, q};
  r.windows.insert(w);
  return w;
}

void DestroyHiddenWindow(HWND wnd) {
  Registry &r = Reg();
  std::vector<std::shared_ptr<SendState>> dropped;
  {
    std::lock_guard<std::mutex> lk(r.m);
    if (!wnd || !r.windows.erase(wnd))
      return;
    ThreadQueue &q = *wnd->queue;
    std::lock_guard<std::mutex> qlk(q.m);
    for (auto *dq : {&q.sent, &q.posted}) {
      for (auto it = dq->begin(); it != dq->end();) {
        if (it->wnd == wnd) {
          if (it->send)
            dropped.push_back(it->send);
          it = dq->erase(it);
        } else {
          ++it;
        }
      }
    }
  }
  for (auto &s : dropped)
    FinishSend(*s, SendState::Dropped, 0);
  delete wnd;
}

bool IsWindow(HWND wnd) {
  Registry &r = Reg();
  std::lock_guard<std::mutex> lk(r.m);
  return wnd && r.windows.count(wnd) != 0;
}

void *GetWindowData(HWND wnd) {
  Registry &r = Reg();
  std::lock_guard<std::mutex> lk(r.m);
  if (!wnd || !r.windows.count(wnd))
    return nullptr;
  return wnd->userData;
}

bool PostMessage(HWND wnd, uint32_t msg, WPARAM wParam, LPARAM lParam) {
  Registry &r = Reg();
  std::shared_ptr<ThreadQueue> q;
  {
    std::lock_guard<std::mutex> lk(r.m);
    if (!wnd || !r.windows.count(wnd))
      return false;
    q = wnd->queue;
    std::lock_guard<std::mutex> qlk(q->m);
    q->posted.push_back(Message{wnd, msg, wParam, lParam, nullptr});
  }
  Notify(*q);
  return true;
}

bool SendMessageTimeout(HWND wnd, uint32_t msg, WPARAM wParam, LPARAM lParam, uint32_t timeoutMs, LRESULT *result) {
  Registry &r = Reg();
  std::shared_ptr<ThreadQueue> q;
  WindowProc proc = nullptr;
  auto state = std::make_shared<SendState>();
  {
    std::lock_guard<std::mutex> lk(r.m);
    if (!wnd || !r.windows.count(wnd))
      return false;
    q = wnd->queue;
    proc = wnd->proc;
    if (q->owner != std::this_thread::get_id()) {
      std::lock_guard<std::mutex> qlk(q->m);
      q->sent.push_back(Message{wnd, msg, wParam, lParam, state});
    }
  }
  if (q->owner == std::this_thread::get_id()) {
    LRESULT res = proc(wnd, msg, wParam, lParam);
    if (result)
      *result = res;
    return true;
  }
  Notify(*q);

  std::unique_lock<std::mutex> lk(state->m);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool finished = state->cv.wait_until(
      lk, deadline, [&] { return state->phase == SendState::Done || state->phase == SendState::Dropped; });
  if (!finished) {
    // Not started yet: withdraw it so it never runs late. Already running:
    // it completes on its own, the sender just stops waiting.
    if (state->phase == SendState::Pending)
      state->phase = SendState::Withdrawn;
    return false;
  }
  if (state->phase != SendState::Done)
    return false;
  if (result)
    *result = state->result;
  return true;
}

bool ProcessOneMessage() {
  ThreadQueue &q = *ThisQueue();
  for (;;) {
    Message m{};
    {
      std::lock_guard<std::mutex> lk(q.m);
      if (!q.sent.empty()) {
        m = q.sent.front();
        q.sent.pop_front();
      } else if (!q.posted.empty()) {
        m = q.posted.front();
        q.posted.pop_front();
      } else {
        return false;
      }
    }
    WindowProc proc;
    {
      Registry &r = Reg();
      std::lock_guard<std::mutex> lk(r.m);
      if (!r.windows.count(m.wnd))
        continue; // destroyed meanwhile; its sender was already released
      proc = m.wnd->proc;
    }
    if (!m.send) {
      proc(m.wnd, m.msg, m.wParam, m.lParam);
      return true;
    }
    {
      std::lock_guard<std::mutex> lk(m.send->m);
      if (m.send->phase != SendState::Pending)
        continue; // withdrawn by a sender that timed out
      m.send->phase = SendState::Running;
    }
    LRESULT res = 0;
    try {
      res = proc(m.wnd, m.msg, m.wParam, m.lParam);
    } catch (...) {
      FinishSend(*m.send, SendState::Done, 0);
      throw;
    }
    FinishSend(*m.send, SendState::Done, res);
    return true;
  }
}

bool WaitForMessage(uint32_t timeoutMs) {
  ThreadQueue &q = *ThisQueue();
  std::unique_lock<std::mutex> lk(q.m);
  return q.cv.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return !q.sent.empty() || !q.posted.empty(); });
}

void SetMessageArrivedHook(std::function<void()> hook) {
  ThreadQueue &q = *ThisQueue();
  std::lock_guard<std::mutex> lk(q.m);
  q.hook = std::move(hook);
}

} // namespace platform
