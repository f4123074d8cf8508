#include "runtime/SysUtils.h"

#include <cerrno>
#include <clocale>
#include <locale.h>
#include <cfenv>
#include <cmath>
#include <cstdlib>
#include <limits>

std::string InvalidIntegerText(const std::string &text) { return "'" + text + "' ist kein gültiger Integerwert"; }

std::string InvalidFloatText(const std::string &text) { return "'" + text + "' ist kein gültiger Gleitkommawert"; }

namespace {
bool isBlank(char c) { return c == ' ' || c == '\t'; }

int hexDigit(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}
} // namespace

bool TryStrToInt(const std::string &text, int32_t &out) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n && isBlank(text[i]))
    ++i;
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  int base = 10;
  if (i < n && text[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= n)
    return false;
  int64_t value = 0;
  const int64_t limit = negative ? int64_t(1) << 31 : (int64_t(1) << 31) - 1;
  for (; i < n; ++i) {
    int d = base == 16 ? hexDigit(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
    if (d < 0)
      return false;
    value = value * base + d;
    if (value > limit) {
      // Hex literals may spell the full 32-bit pattern, as in the runtime.
      if (base == 16 && !negative && value <= 0xFFFFFFFFLL)
        continue;
      return false;
    }
  }
  if (base == 16 && !negative && value > limit) {
    out = static_cast<int32_t>(static_cast<uint32_t>(value));
    return true;
  }
  out = static_cast<int32_t>(negative ? -value : value);
  return true;
}

int32_t StrToInt(const std::string &text) {
  int32_t v;
  if (!TryStrToInt(text, v))
    throw EConvertError(InvalidIntegerText(text));
  return v;
}

bool TryStrToFloat(const std::string &text, double &out, char decimalSeparator) {
  size_t b = 0, e = text.size();
  while (b < e && isBlank(text[b]))
    ++b;
  while (e > b && isBlank(text[e - 1]))
    --e;
  std::string c;
  c.reserve(e - b);
  size_t i = b;
  if (i < e && (text[i] == '+' || text[i] == '-'))
    c += text[i++];
  int digits = 0;
  while (i < e && text[i] >= '0' && text[i] <= '9') {
    c += text[i++];
    ++digits;
  }
  if (i < e && text[i] == decimalSeparator) {
    c += '.';
    ++i;
    while (i < e && text[i] >= '0' && text[i] <= '9') {
      c += text[i++];
      ++digits;
    }
  }
  if (digits == 0)
    return false;
  if (i < e && (text[i] == 'e' || text[i] == 'E')) {
    c += 'e';
    ++i;
    if (i < e && (text[i] == '+' || text[i] == '-'))
      c += text[i++];
    int expDigits = 0;
    while (i < e && text[i] >= '0' && text[i] <= '9') {
      c += text[i++];
      ++expDigits;
    }
    if (expDigits == 0)
      return false;
  }
  if (i != e)
    return false;
  // Parse in the C locale: Qt installs the user's locale process-wide.
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
  errno = 0;
  char *end = nullptr;
  const double v = strtod_l(c.c_str(), &end, cLocale);
  if (end != c.c_str() + c.size())
    return false;
  if (errno == ERANGE && std::isinf(v))
    return false;
  out = v;
  return true;
}

double StrToFloat(const std::string &text, char decimalSeparator) {
  double v;
  if (!TryStrToFloat(text, v, decimalSeparator))
    throw EConvertError(InvalidFloatText(text));
  return v;
}

int64_t Round(double value) {
  // nearbyint follows the current rounding mode; force to-nearest-even.
  const int saved = std::fegetround();
  if (saved != FE_TONEAREST)
    std::fesetround(FE_TONEAREST);
  const double r = std::nearbyint(value);
  if (saved != FE_TONEAREST)
    std::fesetround(saved);
  return static_cast<int64_t>(r);
}

int64_t Trunc(double value) { return static_cast<int64_t>(std::trunc(value)); }
