#include "controller/RotorProtocol.h"

#include "runtime/SysUtils.h"

#include <algorithm>
#include <cstdlib>
#include <string>

namespace {

uint8_t DigitByte(char c) { return static_cast<uint8_t>(StrToInt(std::string(1, c)) + 48); }

} // namespace

std::array<uint8_t, 3> PositionDigits(int32_t value) {
  const std::string text = std::to_string(value);
  char hundreds = '0';
  char tens = '0';
  const char units = text.back();
  if (value >= 10 && value <= 99)
    tens = text[0];
  if (value >= 100) {
    hundreds = text[0];
    tens = text[1];
  }
  return {DigitByte(hundreds), DigitByte(tens), DigitByte(units)};
}

std::vector<uint8_t> PollCommand(int32_t pollMode) {
  if (pollMode > 1)
    return {'C', '2', CR};
  return {'C', CR};
}

std::vector<uint8_t> MoveAxis1Command(int32_t position1) {
  const auto d = PositionDigits(position1);
  return {'M', d[0], d[1], d[2], CR};
}

std::vector<uint8_t> MoveAxis2Command(int32_t position2) {
  const auto d = PositionDigits(position2);
  return {'M', 'B', d[0], d[1], d[2], CR};
}

std::vector<uint8_t> MoveBothCommand(int32_t position1, int32_t position2) {
  const auto a = PositionDigits(position1);
  const auto e = PositionDigits(position2);
  return {'W', a[0], a[1], a[2], ' ', e[0], e[1], e[2], CR};
}

std::vector<uint8_t> StopAxis1Command() { return {'A', CR}; }
std::vector<uint8_t> StopAxis2Command() { return {'E', CR}; }
std::vector<uint8_t> StopBothCommand() { return {'S', CR}; }

std::vector<uint8_t> TurnCommand(TurnDirection direction) {
  switch (direction) {
  case TurnDirection::Ccw:
    return {'L', CR};
  case TurnDirection::Cw:
    return {'R', CR};
  case TurnDirection::Down:
    return {'D', CR};
  case TurnDirection::Up:
    break;
  }
  return {'U', CR};
}

int32_t ThreeDigitValue(int32_t h, int32_t t, int32_t u) { return (h - 48) * 100 + (t - 48) * 10 + (u - 48); }

bool ParseReport(TFrameBuffer &frame, int32_t &position1, int32_t &position2) {
  if (frame[0] == CR)
    for (int i = 0; i <= 15; ++i)
      frame[i] = frame[i + 1];
  if (frame[0] == 'A' && frame[1] == 'Z') {
    position1 = ThreeDigitValue(frame[3], frame[4], frame[5]);
    position2 = ThreeDigitValue(frame[11], frame[12], frame[13]);
    return true;
  }
  if (frame[0] == 'Z' && frame[15] == 'A') {
    position1 = ThreeDigitValue(frame[2], frame[3], frame[4]);
    position2 = ThreeDigitValue(frame[10], frame[11], frame[12]);
    return true;
  }
  return false;
}

int32_t ShortWayAzimuth(int32_t target, int32_t from, int32_t range) {
  const int32_t north = ((target % 360) + 360) % 360;
  int32_t best = north;
  for (int32_t v = north + 360; v <= range; v += 360)
    if (std::abs(v - from) < std::abs(best - from))
      best = v;
  return best;
}

int32_t AzimuthApart(int32_t a, int32_t b) {
  const int32_t d = (((a - b) % 360) + 360) % 360;
  return std::min(d, 360 - d);
}
