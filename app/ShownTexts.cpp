#include "app/ShownTexts.h"

#include <QTextDocument>

void Utf8Check::Feed(std::string_view bytes) {
  for (const char ch : bytes) {
    if (bad_)
      return;
    const auto c = static_cast<unsigned char>(ch);
    if (need_ > 0) {
      if (c < low_ || c > high_) {
        bad_ = true;
        return;
      }
      --need_;
      low_ = 0x80;
      high_ = 0xBF;
      continue;
    }
    if (c < 0x80)
      continue;
    // The first continuation byte's range rules out overlong forms,
    // surrogates and code points above U+10FFFF.
    if (c >= 0xC2 && c <= 0xDF) {
      need_ = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need_ = 2;
      if (c == 0xE0)
        low_ = 0xA0;
      else if (c == 0xED)
        high_ = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      need_ = 3;
      if (c == 0xF0)
        low_ = 0x90;
      else if (c == 0xF4)
        high_ = 0x8F;
    } else {
      bad_ = true;
    }
  }
}

QString DecodeWindows1252(std::string_view bytes) {
  // 0x80 to 0x9F; the rest of the page is Latin-1.
  static const char16_t high[32] = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
  };
  QString out;
  out.reserve(static_cast<qsizetype>(bytes.size()));
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    out += (c >= 0x80 && c <= 0x9F) ? QChar(high[c - 0x80]) : QChar(c);
  }
  return out;
}

QString DecodeFileText(std::string_view bytes, bool utf8) {
  if (utf8)
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
  return DecodeWindows1252(bytes);
}

QString QuoteForMessage(const QString &text) {
  if (text.size() <= QuotedLength)
    return text;
  return text.left(QuotedLength) + QStringLiteral("...");
}

QString QuoteForMessage(std::string_view bytes) {
  // Enough bytes for more than 100 characters of any UTF-8 text.
  const std::size_t enough = std::size_t(QuotedLength) * 4 + 4;
  const std::string_view head = bytes.substr(0, enough);
  return QuoteForMessage(QString::fromUtf8(head.data(), static_cast<qsizetype>(head.size())));
}

QString PlainHint(const QString &text) {
  if (!Qt::mightBeRichText(text))
    return text;
  return Qt::convertFromPlainText(text, Qt::WhiteSpaceNoWrap);
}
