#pragma once
// The serial layer's result codes, named once for every layer above the
// platform: 0 and above is success, a negative value an error. The codes that
// raise a class of their own come from the class table; the few without one
// are the runtime's I/O codes.
#include <cstdint>

#include "platform/PlatformErrors.h"

inline constexpr int32_t ecOK = 0;

// Runtime I/O codes: a negated platform number from 2 to 162 raises the
// runtime's I/O error, 8 its out-of-memory error.
inline constexpr int32_t ecFirstIoCode = -2;
inline constexpr int32_t ecLastIoCode = -162;
inline constexpr int32_t ecOutOfMemory = -8;
inline constexpr int32_t ecDeviceWrite = -160;
inline constexpr int32_t ecDeviceRead = -161;

// ecBadArgument, ecBadId, ecBufferIsEmpty, ...
#define ZK_APD_CLASS(Name, Family, Code) inline constexpr int32_t ec##Name = Code;
#define ZK_APD_ALIAS(Name, Code)
#include "errors/AdExceptClasses.inc"
#undef ZK_APD_CLASS
#undef ZK_APD_ALIAS

// A platform number as a result code: negated, so that it reads as an error
// and the missing (2, 3) and busy (5) devices keep their numbers.
constexpr int32_t ResultForPlatformError(uint32_t number) { return -static_cast<int32_t>(number); }

// The one way from errno to a result code.
inline int32_t ResultForErrno(int err) { return ResultForPlatformError(platform::TranslateErrno(err)); }
