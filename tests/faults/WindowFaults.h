#pragma once
// The running window against far ends that misbehave: the kernel ids of the
// port's threads, and choosing a port the way the user does.
#include "tests/app/WindowSupport.h"
#include "tests/support/ProcessCounts.h"

#include <QComboBox>
#include <QLabel>
#include <QSignalBlocker>

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/ioctl.h>

#include <array>
#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

namespace faults {

using support::CpuMeter;
using support::LiveThreads;
using support::OpenDescriptors;
using support::ProcessCpu;

inline bool TaskAlive(int64_t tid) { return tid != 0 && fs::exists("/proc/self/task/" + std::to_string(tid)); }

// The kernel ids of an open port's four threads.
inline std::vector<int64_t> PortThreads(TApdCustomComPort &port) {
  std::vector<int64_t> ids;
  if (TApdBaseDispatcher *d = port.PortDispatcher())
    for (TThreadKind k : {TThreadKind::Read, TThreadKind::Dispatch, TThreadKind::Write, TThreadKind::Status})
      if (d->ThreadId(k) != 0)
        ids.push_back(d->ThreadId(k));
  return ids;
}

inline bool AllEnded(const std::vector<int64_t> &ids) {
  for (int64_t id : ids)
    if (TaskAlive(id))
      return false;
  return true;
}

class WindowFaults : public ::testing::Test, public WindowFixture {
protected:
  void TearDown() override {
    form.reset();
    ends.clear();
  }

  PtyPair &AddFarEnd(int com) {
    ends.push_back(std::make_unique<PtyPair>(dir / ("COM" + std::to_string(com))));
    return *ends.back();
  }
  void UseConfig(int com, int pollMs) {
    SetConfig(
        CrLf({std::to_string(com).c_str(), "EN", std::to_string(pollMs).c_str(), "10", "0", "0", "1", "50", "50"}));
  }
  // What the user does to pick a port: the box's text changes; picking the
  // number it already shows runs the same handler.
  void ChoosePort(int com) {
    const QString text = QString::number(com);
    if (form->ComboBox1->currentText() == text)
      Guarded([&] { form->ComboBox1Change(); });
    else
      form->ComboBox1->setEditText(text);
  }
  static std::string Report(int az, int el) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "AZ=%03d  EL=%03d\r\n", az, el);
    return buf;
  }

  std::vector<std::unique_ptr<PtyPair>> ends;
};

} // namespace faults
