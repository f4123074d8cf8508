// Any code, 16-bit or wider: MessageForCode and CheckResult must stay
// defined and keep their promises.
#include "errors/AdExcept.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

std::size_t Chars(const std::string &s) {
  std::size_t n = 0;
  for (unsigned char b : s)
    if ((b & 0xC0) != 0x80)
      ++n;
  return n;
}

void Check(int32_t code) {
  const std::string text = MessageForCode(code);
  if (Chars(text) > 255)
    std::abort();
  if (code != INT32_MIN && MessageForCode(-code) != text)
    std::abort();
  try {
    if (CheckResult(false, code) != code || code < 0)
      std::abort(); // a negative code must raise, others come back unchanged
  } catch (const EAPDException &e) {
    if (e.ResultCode != 0 && (e.ResultCode != code || e.Message() != text))
      std::abort();
  } catch (const EInOutError &e) {
    if (e.ErrorCode != -code || e.Message() != text)
      std::abort();
  } catch (const EOutOfMemory &) {
    if (code != -8)
      std::abort();
  }
  if (code < 0 && CheckResult(true, code) != code)
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  if (size >= 4) {
    int32_t wide;
    std::memcpy(&wide, data, sizeof wide);
    Check(wide);
  }
  if (size >= 2) {
    int16_t code;
    std::memcpy(&code, data, sizeof code);
    Check(code);
  }
  return 0;
}
