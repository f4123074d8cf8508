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
