#pragma once
// Result codes of the serial layer become exceptions here. EAPDException is
// the root; ten families derive from it and every raised class derives from
// one family, so callers can catch a whole family at once.
#include <cstdint>
#include <exception>
#include <string>

#include "errors/AdResultCodes.h"
#include "errors/AdStrMap.h"
#include "runtime/SysUtils.h"

class EAPDException : public Exception {
public:
  // From a code: the message is the table text of |code|.
  explicit EAPDException(int32_t code);
  // The unknown error: ResultCode 0 and the given text.
  static EAPDException Unknown(std::string text);

  int32_t ResultCode;

  virtual const char *ClassName() const noexcept { return "EAPDException"; }

protected:
  struct UnknownTag {};
  EAPDException(UnknownTag, std::string text);
};

#define ZK_APD_FAMILY(Name)                                                                                            \
  class Name : public EAPDException {                                                                                  \
  public:                                                                                                              \
    explicit Name(int32_t code) : EAPDException(code) {}                                                               \
    const char *ClassName() const noexcept override { return #Name; }                                                  \
  };
ZK_APD_FAMILY(EGeneral)
ZK_APD_FAMILY(EOpenComm)
ZK_APD_FAMILY(ESerialIO)
ZK_APD_FAMILY(EModem)
ZK_APD_FAMILY(ETrigger)
ZK_APD_FAMILY(EProtocol)
ZK_APD_FAMILY(EINI)
ZK_APD_FAMILY(EFax)
ZK_APD_FAMILY(ETapi)
ZK_APD_FAMILY(ERas)
#undef ZK_APD_FAMILY

// Each class knows its own code; it may also be created from another code
// that raises it (EInternal stands for some record-store codes too).
#define ZK_APD_CLASS(Name, Family, Code)                                                                               \
  class E##Name : public Family {                                                                                      \
  public:                                                                                                              \
    static constexpr int32_t kCode = ec##Name;                                                                         \
    E##Name() : Family(kCode) {}                                                                                       \
    explicit E##Name(int32_t code) : Family(code) {}                                                                   \
    const char *ClassName() const noexcept override { return "E" #Name; }                                              \
  };
#define ZK_APD_ALIAS(Name, Code)
#include "errors/AdExceptClasses.inc"
#undef ZK_APD_CLASS
#undef ZK_APD_ALIAS

// The class name a code raises, or nullptr when the code has none.
const char *ExceptionClassName(int32_t code);

// The exception a negative code stands for (its class; -8 out of memory;
// -2..-162 the runtime's I/O error; otherwise the unknown error). Null for
// codes of 0 and above. Lets a thread hand the error to another one.
std::exception_ptr ExceptionForCode(int32_t code);

// Raises ExceptionForCode(code). A code of 0 or above is no error; it raises
// the unknown error rather than return.
[[noreturn]] void RaiseForCode(int32_t code);

// The one conversion of a result code into a raised exception. Codes of 0 and
// above come back unchanged, and nothing is raised while the owning component
// is being loaded from its stored form.
int32_t CheckResult(bool loadingFromForm, int32_t code);

// Message of the unknown error.
inline constexpr const char *kUnknownErrorText = "Korvu exception";
