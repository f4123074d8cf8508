#include "errors/AdExcept.h"

#include <cstdlib>

#include "errors/AdStrMap.h"
#include "platform/PlatformErrors.h"

namespace adexcept_detail {

constexpr std::size_t kMaxTextChars = 255;

// Cut to at most 255 characters; a character is a UTF-8 sequence, so a cut
// never splits one.
std::string CutText(std::string text) {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char b = static_cast<unsigned char>(text[i]);
    if ((b & 0xC0) == 0x80)
      continue; // continuation byte
    if (chars == kMaxTextChars) {
      text.resize(i);
      break;
    }
    ++chars;
  }
  return text;
}

// The platform's text on one line: control characters become spaces and a
// run of spaces shrinks to one (a closing line break leaves one space).
std::string OneLine(const std::string &text) {
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    if (static_cast<unsigned char>(ch) < 32)
      ch = ' ';
    if (ch == ' ' && !out.empty() && out.back() == ' ')
      continue;
    out.push_back(ch);
  }
  return out;
}

// The integer form of Round((low + high) / 2); both are never negative here.
int64_t SearchMiddle(int64_t low, int64_t high) {
  const int64_t sum = low + high;
  int64_t middle = sum / 2;
  if (sum % 2 != 0 && middle % 2 != 0)
    ++middle;
  return middle;
}

} // namespace adexcept_detail

namespace {

using adexcept_detail::CutText;
using adexcept_detail::OneLine;
using adexcept_detail::SearchMiddle;

int64_t AbsCode(int32_t code) { return code < 0 ? -static_cast<int64_t>(code) : code; }

} // namespace

std::string MessageForCode(int32_t code) {
  const int64_t wanted = AbsCode(code);
  std::string result;
  int64_t low = 0;
  int64_t high = static_cast<int64_t>(kMessageTableSize) - 1;
  while (high >= low) {
    const int64_t middle = SearchMiddle(low, high);
    const AdMessageNumberLookupRecord &entry = MessageTable[static_cast<std::size_t>(middle)];
    const int64_t found = AbsCode(entry.MessageNumber);
    if (found == wanted) {
      result = CutText(entry.MessageString);
      break;
    }
    if (found > wanted)
      high = middle - 1;
    else
      low = middle + 1;
  }
  if (!result.empty())
    return result;
  const std::string platformText = CutText(platform::PlatformErrorText(static_cast<uint32_t>(wanted)));
  if (platformText.empty())
    return {};
  return OneLine(platformText);
}

EAPDException::EAPDException(int32_t code) : Exception(MessageForCode(code)), ResultCode(code) {}

EAPDException::EAPDException(UnknownTag, std::string text) : Exception(std::move(text)), ResultCode(0) {}

EAPDException EAPDException::Unknown(std::string text) { return EAPDException(UnknownTag{}, std::move(text)); }

const char *ExceptionClassName(int32_t code) {
  switch (code) {
#define ZK_APD_CLASS(Name, Family, Code)                                                                               \
  case ec##Name:                                                                                                       \
    return "E" #Name;
#define ZK_APD_ALIAS(Name, Code)                                                                                       \
  case Code:                                                                                                           \
    return "E" #Name;
#include "errors/AdExceptClasses.inc"
#undef ZK_APD_CLASS
#undef ZK_APD_ALIAS
  default:
    return nullptr;
  }
}

std::exception_ptr ExceptionForCode(int32_t code) {
  if (code >= 0)
    return nullptr;
  switch (code) {
#define ZK_APD_CLASS(Name, Family, Code)                                                                               \
  case ec##Name:                                                                                                       \
    return std::make_exception_ptr(E##Name(code));
#define ZK_APD_ALIAS(Name, Code)                                                                                       \
  case Code:                                                                                                           \
    return std::make_exception_ptr(E##Name(code));
#include "errors/AdExceptClasses.inc"
#undef ZK_APD_CLASS
#undef ZK_APD_ALIAS
  default:
    break;
  }
  if (code == ecOutOfMemory)
    return std::make_exception_ptr(EOutOfMemory());
  if (code <= ecFirstIoCode && code >= ecLastIoCode)
    return std::make_exception_ptr(EInOutError(MessageForCode(code), -code));
  // Table codes without a class, -1 and negated platform numbers above 162.
  return std::make_exception_ptr(EAPDException::Unknown(kUnknownErrorText));
}

void RaiseForCode(int32_t code) {
  if (code >= 0)
    throw EAPDException::Unknown(kUnknownErrorText);
  std::rethrow_exception(ExceptionForCode(code));
}

int32_t CheckResult(bool loadingFromForm, int32_t code) {
  if (code >= 0 || loadingFromForm)
    return code;
  RaiseForCode(code);
}
