#pragma once
// The small runtime every layer leans on: the exception base, the I/O and
// out-of-memory errors, checked number conversions with their German texts,
// and rounding halves to the even neighbour.
#include <cstdint>
#include <exception>
#include <string>

class Exception : public std::exception {
public:
  explicit Exception(std::string message, int helpContext = 0)
      : message_(std::move(message)), helpContext_(helpContext) {}
  const std::string &Message() const noexcept { return message_; }
  void SetMessage(std::string m) { message_ = std::move(m); }
  int HelpContext() const noexcept { return helpContext_; }
  void SetHelpContext(int h) noexcept { helpContext_ = h; }
  const char *what() const noexcept override { return message_.c_str(); }

private:
  std::string message_;
  int helpContext_;
};

class EInOutError : public Exception {
public:
  EInOutError(std::string message, int errorCode) : Exception(std::move(message)), ErrorCode(errorCode) {}
  int ErrorCode;
};

class EOutOfMemory : public Exception {
public:
  EOutOfMemory() : Exception("Zu wenig Arbeitsspeicher") {}
};

class EConvertError : public Exception {
public:
  using Exception::Exception;
};

// "'%s' ist kein gültiger Integerwert" / "... Gleitkommawert"
std::string InvalidIntegerText(const std::string &text);
std::string InvalidFloatText(const std::string &text);

// Whole numbers: leading blanks, an optional sign, decimal digits or hex
// ("$1F", "0x1F"); nothing may follow. Out of 32-bit range fails.
bool TryStrToInt(const std::string &text, int32_t &out);
int32_t StrToInt(const std::string &text); // throws EConvertError

// Floating: blanks around, sign, digits with one decimal separator, optional
// exponent "E[+-]digits". At least one mantissa digit is required.
bool TryStrToFloat(const std::string &text, double &out, char decimalSeparator = '.');
double StrToFloat(const std::string &text, char decimalSeparator = '.'); // throws EConvertError

// Nearest integer, halves to the even neighbour (2.5 -> 2, 3.5 -> 4, -2.5 -> -2).
int64_t Round(double value);

// Toward zero.
int64_t Trunc(double value);
