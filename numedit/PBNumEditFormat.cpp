// The numbers of the numeric edit as text: the value of a field's text and
// the text of a value in each of the four formats, with the separators of
// the user's locale.
#include "numedit/NumberText.h"
#include "numedit/PBNumEdit.h"

#include "runtime/SysUtils.h"

#include <QLocale>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <locale.h>
#include <string>

namespace numtext {

QChar CurrentDecimalSeparator() {
  const QString s = QLocale().decimalPoint();
  return s.isEmpty() ? QChar('.') : s.at(0);
}

QChar CurrentThousandSeparator() {
  const QString s = QLocale().groupSeparator();
  return s.isEmpty() ? QChar(',') : s.at(0);
}

namespace {

// |x| as 18 significant decimal digits: |x| = d[0].d[1]d[2]... * 10^e.
// Eighteen digits are what the 80-bit value carries; rounding for display
// is done on these digits so that a shown half rounds away from zero.
struct TDigits {
  std::string d;
  int e = 0;
};

TDigits Digits18(long double ax) {
  char buf[80];
  std::snprintf(buf, sizeof buf, "%.17Le", ax);
  TDigits g;
  const char *p = buf;
  for (; *p && *p != 'e'; ++p)
    if (*p >= '0' && *p <= '9')
      g.d += *p; // the point may be any locale's
  if (*p == 'e')
    g.e = std::atoi(p + 1);
  g.d.resize(18, '0');
  return g;
}

void Increment(std::string &s) {
  for (size_t i = s.size(); i-- > 0;) {
    if (s[i] != '9') {
      ++s[i];
      return;
    }
    s[i] = '0';
  }
  s.insert(s.begin(), '1');
}

// round(|x| * 10^k), halves away from zero, as a digit string.
std::string RoundToPlace(const TDigits &g, int k) {
  const int cnt = g.e + 1 + k; // digits of g at or above 10^-k
  if (cnt < 0)
    return "0";
  if (cnt == 0)
    return g.d[0] >= '5' ? "1" : "0";
  std::string s = g.d.substr(0, std::min(cnt, 18));
  if (cnt > 18)
    s.append(cnt - 18, '0');
  if (cnt < 18 && g.d[cnt] >= '5')
    Increment(s);
  return s;
}

std::string Group(const std::string &intPart) {
  std::string out;
  const size_t n = intPart.size();
  for (size_t i = 0; i < n; ++i) {
    if (i > 0 && (n - i) % 3 == 0)
      out += ',';
    out += intPart[i];
  }
  return out;
}

bool AllZero(const std::string &s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return c == '0'; });
}

// Fixed-point text with '.' and ',' as placeholders for the separators.
std::string Fixed(const TDigits &g, bool neg, int k, bool trim, bool group) {
  std::string s = RoundToPlace(g, k);
  if (static_cast<int>(s.size()) <= k)
    s.insert(0, k + 1 - s.size(), '0');
  std::string intPart = s.substr(0, s.size() - k);
  std::string frac = s.substr(s.size() - k);
  const size_t nz = intPart.find_first_not_of('0');
  intPart = nz == std::string::npos ? "0" : intPart.substr(nz);
  if (trim) {
    const size_t last = frac.find_last_not_of('0');
    frac = last == std::string::npos ? "" : frac.substr(0, last + 1);
  }
  std::string out;
  // A value that shows as zero shows no sign.
  if (neg && !(AllZero(intPart) && AllZero(frac)))
    out += '-';
  out += group ? Group(intPart) : intPart;
  if (!frac.empty())
    out += '.' + frac;
  return out;
}

// One digit before the point, c decimals (trimmed when asked), "E", exponent.
std::string Scientific(long double x, int c, bool trim) {
  const bool neg = x < 0;
  TDigits g = Digits18(std::fabs(x));
  std::string s;
  int e = 0;
  if (AllZero(g.d)) {
    s.assign(c + 1, '0');
  } else {
    s = g.d.substr(0, c + 1);
    e = g.e;
    if (c + 1 < 18 && g.d[c + 1] >= '5') {
      Increment(s);
      if (static_cast<int>(s.size()) > c + 1) { // 9.99 -> 10.0: one more place
        s.pop_back();
        ++e;
      }
    }
  }
  std::string frac = s.substr(1);
  if (trim) {
    const size_t last = frac.find_last_not_of('0');
    frac = last == std::string::npos ? "" : frac.substr(0, last + 1);
  }
  std::string out;
  if (neg && !AllZero(s))
    out += '-';
  out += s[0];
  if (!frac.empty())
    out += '.' + frac;
  out += 'E' + std::to_string(e);
  return out;
}

locale_t CLocale() {
  static const locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
  return c;
}

} // namespace

// Sign, digits with one decimal separator, optional exponent "E[+-]digits";
// at least one mantissa digit. Blanks around are allowed.
bool ParseNumber(const QString &text, QChar dec, long double &out) {
  qsizetype b = 0, e = text.size();
  while (b < e && (text[b] == ' ' || text[b] == '\t'))
    ++b;
  while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t'))
    --e;
  std::string c;
  qsizetype i = b;
  auto isDigit = [&](qsizetype j) { return text[j] >= '0' && text[j] <= '9'; };
  if (i < e && (text[i] == '+' || text[i] == '-'))
    c += char(text[i++].unicode());
  int digits = 0;
  while (i < e && isDigit(i)) {
    c += char(text[i++].unicode());
    ++digits;
  }
  if (i < e && text[i] == dec) {
    c += '.';
    ++i;
    while (i < e && isDigit(i)) {
      c += char(text[i++].unicode());
      ++digits;
    }
  }
  if (digits == 0)
    return false;
  if (i < e && (text[i] == 'E' || text[i] == 'e')) {
    c += 'e';
    ++i;
    if (i < e && (text[i] == '+' || text[i] == '-'))
      c += char(text[i++].unicode());
    int expDigits = 0;
    while (i < e && isDigit(i)) {
      c += char(text[i++].unicode());
      ++expDigits;
    }
    if (expDigits == 0)
      return false;
  }
  if (i != e)
    return false;
  errno = 0;
  char *end = nullptr;
  const long double v = strtold_l(c.c_str(), &end, CLocale());
  if (end != c.c_str() + c.size())
    return false;
  if (errno == ERANGE && std::isinf(v))
    return false;
  out = v;
  return true;
}

} // namespace numtext

using namespace numtext;

long double TPBNumEdit::Value() const {
  const QString plain = PlainText(text());
  long double v = 0;
  if (!ParseNumber(plain, CurrentDecimalSeparator(), v))
    throw EConvertError(InvalidFloatText(plain.toStdString()));
  return v;
}

void TPBNumEdit::SetValue(long double x) { SetFormattedText(FormatValue(x)); }

int32_t TPBNumEdit::AsInteger() const {
  const long double t = std::trunc(Value());
  if (t >= static_cast<long double>(std::numeric_limits<int32_t>::max()))
    return std::numeric_limits<int32_t>::max();
  if (t <= static_cast<long double>(std::numeric_limits<int32_t>::min()))
    return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(t);
}

// ---- formatting ----------------------------------------------------------

QString TPBNumEdit::FormatValue(long double x) const {
  if (std::isnan(x))
    return QStringLiteral("NAN");
  if (std::isinf(x))
    return x > 0 ? QStringLiteral("INF") : QStringLiteral("-INF");
  const int d = FDecimals;
  const bool neg = x < 0;
  std::string r;
  const bool expFormat = FNumberFormat == TNumberFormat::Scientific || FNumberFormat == TNumberFormat::Engineering;
  TDigits g = Digits18(std::fabs(x));
  if (FNumberFormat == TNumberFormat::Engineering && x != 0) {
    const int e = 3 * static_cast<int>(std::trunc(std::log10(std::fabs(x)) / 3));
    const long double p = strtold_l(("1E" + std::to_string(e)).c_str(), nullptr, CLocale());
    const long double m = x / p;
    int c = 14;
    if (m > 9)
      c = 13;
    if (m > 99)
      c = 12;
    if (d != -1 && d < c)
      c = d;
    r = Fixed(Digits18(std::fabs(m)), m < 0, c, d == -1, false) + 'E' + std::to_string(e);
  } else if (expFormat || (g.e >= 18 && !AllZero(g.d))) {
    // More than 18 integer digits have no fixed form worth showing.
    r = Scientific(x, d == -1 ? 14 : d, d == -1);
  } else {
    const bool group = FNumberFormat == TNumberFormat::Thousands;
    r = Fixed(g, neg, d == -1 ? 14 : d, d == -1, group);
    const size_t point = r.find('.');
    if (point != std::string::npos) {
      const int n =
          static_cast<int>(std::count_if(r.begin(), r.begin() + point, [](char c) { return c >= '0' && c <= '9'; }));
      if (d == -1 && group) {
        r = Fixed(g, neg, std::max(15 - n, 0), true, group);
      } else if (d > 0 && 15 - n < d) {
        // At most 15 digits carry the value; the rest of the places show 0.
        const int k = std::max(15 - n, 0);
        r = Fixed(g, neg, k, false, group);
        if (k == 0)
          r += '.';
        r.append(d - k, '0');
      }
    }
  }
  const QChar dec = CurrentDecimalSeparator();
  const QChar thou = CurrentThousandSeparator();
  QString out;
  out.reserve(static_cast<qsizetype>(r.size()));
  for (char c : r)
    out += c == '.' ? dec : c == ',' ? thou : QChar(c);
  return out;
}

QString TPBNumEdit::MapSeparators(const QString &s) const {
  const QChar dec = CurrentDecimalSeparator();
  const QChar thou = CurrentThousandSeparator();
  QString r = s;
  for (QChar &c : r) {
    if (c == SavedDecimalSeparator)
      c = dec;
    else if (c == SavedThousandSeparator)
      c = thou;
  }
  return r;
}

QString TPBNumEdit::ConvertSeparators(const QString &s) {
  const QString r = MapSeparators(s);
  SavedDecimalSeparator = CurrentDecimalSeparator();
  SavedThousandSeparator = CurrentThousandSeparator();
  return r;
}

QString TPBNumEdit::PlainText(const QString &s) const {
  // Only maps: the text itself is converted when the separators-changed
  // event arrives, and that needs the saved separators unchanged.
  QString r = s;
  if (SavedDecimalSeparator != CurrentDecimalSeparator() || SavedThousandSeparator != CurrentThousandSeparator())
    r = MapSeparators(r);
  r.remove(CurrentThousandSeparator());
  if (r.isEmpty())
    return QStringLiteral("0");
  if (r == QLatin1String("-"))
    return QStringLiteral("-0");
  return r;
}
