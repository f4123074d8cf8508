#pragma once
// A window-toolkit piece the main window needs that Qt does not have in this
// shape: a picture control that sizes itself to its picture and reports
// pointer movement and clicks in picture coordinates. The timer the window
// uses is the controller's (controller/Timer.h).
#include <QImage>
#include <QObject>
#include <QTimer>
#include <QWidget>

#include "controller/Timer.h"
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
