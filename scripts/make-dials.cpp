// Draws the dial pictures of the rotator window and writes them as JPEG files
// with our libjpeg writer. Run once when the artwork changes; the results are
// kept in data/ and compiled into the program.
//   make-dials <output directory>
#include "app/JpegImage.h"

#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <cmath>
#include <cstdio>
#include <string>

namespace {

constexpr double Pi = 3.14159265358979323846;
const QPointF Centre(100, 100);

// Azimuth: 0 at the top, clockwise.
QPointF AzPoint(double deg, double r) {
  const double a = deg * Pi / 180;
  return {Centre.x() + r * std::sin(a), Centre.y() - r * std::cos(a)};
}

// Elevation: 0 at the left, 90 at the top, 180 at the right.
QPointF ElPoint(double deg, double r) {
  const double a = deg * Pi / 180;
  return {Centre.x() - r * std::cos(a), Centre.y() - r * std::sin(a)};
}

void DrawText(QPainter &p, QPointF at, const QString &text) {
  const QRectF box(at.x() - 16, at.y() - 8, 32, 16);
  p.drawText(box, Qt::AlignCenter, text);
}

void DrawRosePoint(QPainter &p, double deg, double length, double width, QColor dark, QColor light) {
  const QPointF tip = AzPoint(deg, length);
  const QPointF left = AzPoint(deg - 90, width);
  const QPointF right = AzPoint(deg + 90, width);
  p.setPen(Qt::NoPen);
  p.setBrush(dark);
  p.drawPolygon(QPolygonF({Centre, left, tip}));
  p.setBrush(light);
  p.drawPolygon(QPolygonF({Centre, tip, right}));
}

QImage Azimuth(bool withLetters, QColor ground) {
  QImage img(200, 200, QImage::Format_RGB32);
  img.fill(ground);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(40, 40, 40), 2));
  p.setBrush(QColor(250, 250, 245));
  p.drawEllipse(Centre, 97, 97);
  // Rose: four long points, four short ones between them.
  for (int d = 0; d < 360; d += 90)
    DrawRosePoint(p, d, 62, 9, QColor(70, 70, 110), QColor(170, 170, 200));
  for (int d = 45; d < 360; d += 90)
    DrawRosePoint(p, d, 44, 6, QColor(110, 110, 110), QColor(200, 200, 200));
  p.setPen(QPen(QColor(40, 40, 40), 1));
  for (int d = 0; d < 360; d += 10) {
    const double inner = d % 30 == 0 ? 85 : 90;
    p.drawLine(AzPoint(d, inner), AzPoint(d, 96));
  }
  QFont f("DejaVu Sans");
  f.setPixelSize(10);
  f.setBold(true);
  p.setFont(f);
  p.setPen(QColor(20, 20, 20));
  for (int d = 30; d <= 360; d += 30)
    DrawText(p, AzPoint(d, 75), QString::number(d));
  if (withLetters) {
    f.setPixelSize(12);
    p.setFont(f);
    p.setPen(QColor(160, 20, 20));
    const char *names[] = {"N", "E", "S", "W"};
    for (int i = 0; i < 4; ++i)
      DrawText(p, AzPoint(i * 90 + 15, 58), names[i]);
  }
  return img;
}

QImage Elevation() {
  QImage img(200, 200, QImage::Format_RGB32);
  img.fill(QColor(236, 233, 216));
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(40, 40, 40), 2));
  p.setBrush(QColor(250, 250, 245));
  p.drawPie(QRectF(3, 3, 194, 194), 0, 180 * 16);
  p.setPen(QPen(QColor(40, 40, 40), 1));
  for (int d = 0; d <= 180; d += 10) {
    const double inner = d % 30 == 0 ? 85 : 90;
    p.drawLine(ElPoint(d, inner), ElPoint(d, 96));
  }
  // Half rose: points to the horizons and the zenith.
  p.setPen(Qt::NoPen);
  for (int d : {0, 90, 180}) {
    p.setBrush(QColor(70, 70, 110));
    p.drawPolygon(QPolygonF({Centre, ElPoint(d - 90, 9), ElPoint(d, 62)}));
    p.setBrush(QColor(170, 170, 200));
    p.drawPolygon(QPolygonF({Centre, ElPoint(d, 62), ElPoint(d + 90, 9)}));
  }
  QFont f("DejaVu Sans");
  f.setPixelSize(10);
  f.setBold(true);
  p.setFont(f);
  p.setPen(QColor(20, 20, 20));
  for (int d = 0; d <= 180; d += 30)
    DrawText(p, ElPoint(d, 75) + QPointF(0, d == 0 || d == 180 ? 12 : 0), QString::number(d));
  return img;
}

bool Write(const std::string &path, const QImage &img) {
  const std::vector<unsigned char> bytes = EncodeJpeg(img, 90);
  std::FILE *f = std::fopen(path.c_str(), "wb");
  if (!f)
    return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make-dials <output directory>\n");
    return 2;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  const std::string dir = argv[1];
  const bool ok = Write(dir + "/Dial_AZ.jpg", Azimuth(false, QColor(236, 233, 216))) &&
                  Write(dir + "/Dial_EL.jpg", Elevation()) &&
                  Write(dir + "/Windrose_AZ.jpg", Azimuth(true, QColor(214, 226, 240)));
  if (!ok) {
    std::perror("make-dials");
    return 1;
  }
  return 0;
}
