#pragma once
// Texts taken from the data files on their way into the window: decoding
// the file's bytes, cutting what a message quotes, and keeping a hint from
// being taken for markup.
#include <QString>
#include <cstddef>
#include <string_view>

// Follows a byte stream piece by piece and tells whether it is all
// well-formed UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF, no sequence left open at the end).
class Utf8Check {
public:
  void Feed(std::string_view bytes);
  bool Valid() const { return !bad_ && need_ == 0; }

private:
  bool bad_ = false;
  int need_ = 0;             // continuation bytes still expected
  unsigned char low_ = 0x80; // range of the next continuation byte
  unsigned char high_ = 0xBF;
};

// 8-bit text as the Windows code page 1252 has it; the five codes that page
// leaves free come through as the C1 controls of the same number.
QString DecodeWindows1252(std::string_view bytes);

// A file's text: UTF-8 when the file is, else code page 1252.
QString DecodeFileText(std::string_view bytes, bool utf8);

// Longest piece of a file's text a message quotes.
constexpr int QuotedLength = 100;

// The text as a message quotes it: its first 100 characters, followed by
// "..." when there were more.
QString QuoteForMessage(const QString &text);
QString QuoteForMessage(std::string_view bytes); // decoded as UTF-8

// A hint shown literally: Qt takes a hint that looks like markup for rich
// text, so such a hint is escaped into markup that shows it as it stands.
QString PlainHint(const QString &text);
