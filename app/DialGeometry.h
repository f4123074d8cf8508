#pragma once
// Angles under the pointer on the two dials and the needle's end point. The
// dials are 200 x 200 with their centre at (100, 100); results are rounded
// halves to even.
#include <cstdint>

// Azimuth dial: 360 at the top, clockwise; 0 only at the centre.
int32_t AzimuthAt(int32_t x, int32_t y);

// Elevation dial: 0 at the left horizon, 90 at the top, 180 at the right;
// the lower half clamps to 0, 90 or 180.
int32_t ElevationAt(int32_t x, int32_t y);

struct NeedlePoint {
  int32_t x;
  int32_t y;
};

// End of the 30-pixel needle from (cx, cy) at the given azimuth.
NeedlePoint NeedleEnd(int32_t cx, int32_t cy, int32_t position);

// End of the 30-pixel needle from (cx, cy) at the given elevation, as the
// half rose is drawn: 0 left, 90 up, 180 right.
NeedlePoint ElevationNeedleEnd(int32_t cx, int32_t cy, int32_t elevation);
