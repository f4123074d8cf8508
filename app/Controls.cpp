#include "app/Controls.h"

#include "app/Application.h"

#include <QMouseEvent>
#include <QPainter>

TImage::TImage(QWidget *parent) : QWidget(parent) { setMouseTracking(true); }

void TImage::SetPicture(const QImage &picture) {
  picture_ = picture;
  resize(picture_.size());
  update();
}

void TImage::paintEvent(QPaintEvent *) {
  QPainter p(this);
  p.drawImage(0, 0, picture_);
}

void TImage::mouseMoveEvent(QMouseEvent *e) {
  if (OnMouseMove) {
    const QPoint at = e->position().toPoint();
    Guarded([&] { OnMouseMove(at.x(), at.y()); });
  }
}

void TImage::mousePressEvent(QMouseEvent *e) {
  if (e->button() == Qt::LeftButton)
    pressed_ = true;
}

// A click is a left press and release over the picture.
void TImage::mouseReleaseEvent(QMouseEvent *e) {
  const bool wasPressed = pressed_;
  pressed_ = false;
  if (wasPressed && e->button() == Qt::LeftButton && rect().contains(e->position().toPoint()) && OnClick)
    Guarded([&] { OnClick(); });
}

TTimer::TTimer(QObject *parent) : QObject(parent) {
  // A period is never cut short: after a command the next poll is a full
  // period away.
  timer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer_, &QTimer::timeout, this, [this] {
    if (OnTimer)
      Guarded([this] { OnTimer(); });
  });
  Update();
}

void TTimer::SetEnabled(bool value) {
  if (value == enabled_)
    return;
  enabled_ = value;
  Update();
}

void TTimer::SetInterval(int value) {
  if (value == interval_)
    return;
  interval_ = value;
  Update();
}

// Stopping and starting again restarts the period.
void TTimer::Update() {
  timer_.stop();
  if (enabled_ && interval_ > 0)
    timer_.start(interval_);
}
