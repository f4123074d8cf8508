#include "errors/AdExcept.h"

#include <cstdlib>

#include "errors/AdStrMap.h"
#include "platform/PlatformErrors.h"

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
