#include "app/DialGeometry.h"

#include "runtime/SysUtils.h"

#include <cmath>

namespace {

constexpr long double Pi = 3.14159265358979324L;

// arctan of the slope from the centre, in degrees (-90 < t < 90).
long double SlopeAngle(int32_t x, int32_t y) {
  const long double q = static_cast<long double>(100 - y) / static_cast<long double>(100 - x);
  return std::atan(q) * 180.0L / Pi;
}

int32_t RoundDegrees(long double v) { return static_cast<int32_t>(Round(static_cast<double>(v))); }

} // namespace

int32_t AzimuthAt(int32_t x, int32_t y) {
  long double v = 0;
  if (x == 100) {
    if (y > 100)
      v = 180;
    else if (y < 100)
      v = 360;
  } else if (y == 100) {
    v = x < 100 ? 270 : 90;
  } else {
    v = SlopeAngle(x, y) + (x < 100 ? 270 : 90);
  }
  return RoundDegrees(v);
}

int32_t ElevationAt(int32_t x, int32_t y) {
  long double v = 0;
  if (x == 100) {
    v = y < 100 ? 360 : 0;
  } else if (y >= 100) {
    v = x < 100 ? 270 : 90;
  } else {
    v = SlopeAngle(x, y) + (x < 100 ? 270 : 90);
  }
  const int32_t e = RoundDegrees(v);
  return e <= 90 ? e + 90 : e - 270;
}

NeedlePoint NeedleEnd(int32_t cx, int32_t cy, int32_t position) {
  const long double a = position * Pi / 180.0L;
  const long double x = cx + 30.0L * std::sin(a);
  const long double y = cy - 30.0L * std::cos(a);
  return {static_cast<int32_t>(Round(static_cast<double>(x))), static_cast<int32_t>(Round(static_cast<double>(y)))};
}

NeedlePoint ElevationNeedleEnd(int32_t cx, int32_t cy, int32_t elevation) { return NeedleEnd(cx, cy, elevation - 90); }
