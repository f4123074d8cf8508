#pragma once
// A byte stream as units of every dialect of the family might send it:
// reports of each form with, between them, command answers, prompts, banner
// lines, noise and reports cut short. For the reader's tests and the window's.
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace mixed {

struct Stream {
  std::string bytes;
  std::vector<std::pair<int32_t, int32_t>> reports; // azimuth, elevation (-999: none)
};

// A report in one of the dialects of the family, for a position.
inline std::string DialectReport(int dialect, int az, int el, int32_t &shownEl) {
  char buf[40];
  shownEl = el;
  switch (dialect) {
  case 0:
    std::snprintf(buf, sizeof buf, "AZ=%03d  EL=%03d\r\n", az, el);
    break;
  case 1:
    std::snprintf(buf, sizeof buf, "AZ=%03d\r\n", az);
    shownEl = -999;
    break;
  case 2:
    std::snprintf(buf, sizeof buf, "AZ=%03dEL=%03d\r\n", az, el);
    break;
  case 3:
    std::snprintf(buf, sizeof buf, "+0%03d+0%03d\r\n", az, el);
    break;
  case 4:
    std::snprintf(buf, sizeof buf, "+0%03d\r\n", az);
    shownEl = -999;
    break;
  case 5:
    std::snprintf(buf, sizeof buf, "+0%03d+0%03d\r", az, el);
    break;
  case 6:
    std::snprintf(buf, sizeof buf, "+0%03d+0%03d\n\r", az, el);
    break;
  case 7:
    std::snprintf(buf, sizeof buf, "AZ=%d EL=%d\r\n", az, el);
    break;
  case 8:
    std::snprintf(buf, sizeof buf, "AZ=%03d\r", az);
    shownEl = -999;
    break;
  default:
    std::snprintf(buf, sizeof buf, "AZ=%04dEL=%03d\r\n", az, el);
    break;
  }
  return buf;
}

// Reports of every dialect with, between them, command answers, prompts,
// banner lines, noise (never a byte that could start a report or end a
// line) and reports cut short and followed at once by a whole one.
inline Stream MakeStream(std::mt19937 &rng, int count) {
  static const char *answers[] = {
      "\r", "\r\n", "?>\r\n", "? >\r\n", "CW\r\n", "Rotation Stop\r\n", "ROTATOR CONTROL READY\r\n"};
  auto pick = [&](int n) { return int(rng() % uint32_t(n)); };
  Stream s;
  for (int i = 0; i < count; ++i) {
    switch (pick(8)) {
    case 0:
    case 1:
      s.bytes += answers[pick(int(std::size(answers)))];
      break;
    case 2:
      for (int n = 1 + pick(30); n > 0; --n) {
        char c = char(rng() & 0xFF);
        if (c == 'A' || c == 'Z' || c == '+' || c == '\r' || c == '\n')
          c = 'q';
        s.bytes += c;
      }
      break;
    case 3: {
      int32_t unused;
      const std::string whole = DialectReport(pick(10), pick(451), pick(181), unused);
      std::size_t cut = 1 + pick(int(whole.size()) - 3);
      // Cut right after its first field, the sign form followed by an
      // azimuth-only one is byte for byte a whole report: no reader can tell.
      if (whole[0] == '+' && cut == 5)
        cut = 4;
      s.bytes += whole.substr(0, cut);
      break;
    }
    default:
      break;
    }
    const int az = pick(451);
    int32_t el = 0;
    s.bytes += DialectReport(pick(10), az, pick(181), el);
    s.reports.push_back({az, el});
  }
  return s;
}

} // namespace mixed
