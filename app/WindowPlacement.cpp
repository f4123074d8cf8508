#include "app/WindowPlacement.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace {

// Wide enough to take hold of the window by its top.
constexpr int64_t GripWidth = 40;
constexpr int64_t GripHeight = 20;

struct Box {
  int64_t left, top, right, bottom; // right and bottom exclusive
};

Box Of(const QRect &r) { return {r.x(), r.y(), int64_t(r.x()) + r.width(), int64_t(r.y()) + r.height()}; }

int64_t Gap(int64_t aLow, int64_t aHigh, int64_t bLow, int64_t bHigh) {
  if (aHigh <= bLow)
    return bLow - aHigh;
  if (bHigh <= aLow)
    return aLow - bHigh;
  return 0;
}

int64_t Place(int64_t at, int64_t length, int64_t low, int64_t high) {
  if (length >= high - low)
    return low;
  return std::clamp(at, low, high - length);
}

} // namespace

QPoint ReachablePosition(int32_t left, int32_t top, QSize size, const QList<QRect> &screens) {
  const int64_t w = std::max(size.width(), 1);
  const int64_t h = std::max(size.height(), 1);
  const Box window{left, top, int64_t(left) + w, int64_t(top) + h};
  const int64_t gripW = std::min(w, GripWidth);
  const int64_t gripH = std::min(h, GripHeight);

  const Box *nearest = nullptr;
  int64_t nearestDistance = std::numeric_limits<int64_t>::max();
  std::vector<Box> boxes;
  boxes.reserve(static_cast<std::size_t>(screens.size()));
  for (const QRect &r : screens)
    if (r.isValid())
      boxes.push_back(Of(r));
  for (const Box &s : boxes) {
    const int64_t across = std::min(window.right, s.right) - std::max(window.left, s.left);
    const bool stripOn = window.top >= s.top && window.top + gripH <= s.bottom;
    if (stripOn && across >= gripW)
      return QPoint(left, top);
    // Distance between the two rectangles, along both axes; 0 when they overlap.
    const int64_t distance =
        Gap(window.left, window.right, s.left, s.right) + Gap(window.top, window.bottom, s.top, s.bottom);
    if (distance < nearestDistance) {
      nearestDistance = distance;
      nearest = &s;
    }
  }
  if (nearest == nullptr)
    return QPoint(left, top);
  return QPoint(int(Place(window.left, w, nearest->left, nearest->right)),
                int(Place(window.top, h, nearest->top, nearest->bottom)));
}
