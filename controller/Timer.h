#pragma once
// A timer whose Enabled and Interval behave like properties: setting the
// value it already has changes nothing, an interval of 0 never fires, and
// enabling restarts the period. What its handler throws goes to the
// application's exception display, so one failed tick stops nothing.
#include <QObject>
#include <QTimer>
#include <functional>

class TTimer : public QObject {
public:
  explicit TTimer(QObject *parent);

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value);
  int Interval() const { return interval_; }
  void SetInterval(int value);
  bool Running() const { return timer_.isActive(); }

  std::function<void()> OnTimer;

private:
  void Update();

  QTimer timer_;
  bool enabled_ = true;
  int interval_ = 1000;
};
