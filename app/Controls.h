#pragma once
// Two small window-toolkit pieces the main window needs that Qt does not
// have in this shape: a picture control that sizes itself to its picture and
// reports pointer movement and clicks in picture coordinates, and a timer
// whose Enabled and Interval behave like properties (setting the value it
// already has changes nothing; an interval of 0 never fires).
#include <QImage>
#include <QObject>
#include <QTimer>
#include <QWidget>
#include <functional>

class TImage : public QWidget {
public:
  explicit TImage(QWidget *parent);

  const QImage &Picture() const { return picture_; }
  // Takes the picture and, as it sizes itself to it, its size.
  void SetPicture(const QImage &picture);

  std::function<void()> OnClick;
  std::function<void(int x, int y)> OnMouseMove;

protected:
  void paintEvent(QPaintEvent *) override;
  void mouseMoveEvent(QMouseEvent *e) override;
  void mousePressEvent(QMouseEvent *e) override;
  void mouseReleaseEvent(QMouseEvent *e) override;

private:
  QImage picture_;
  bool pressed_ = false;
};

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
