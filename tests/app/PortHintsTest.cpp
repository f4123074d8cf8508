// The second line of the port message: which failures get one, and where
// its text comes from.
#include "app/PortHints.h"

#include "errors/AdExcept.h"
#include "platform/PlatformErrors.h"
#include "runtime/SysUtils.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>

namespace {

// What opening raises for an errno, the way the port's open path turns it
// into a result code and that into an exception.
std::exception_ptr RaisedForErrno(int err) {
  return ExceptionForCode(-static_cast<int32_t>(platform::TranslateErrno(err)));
}

TEST(PortTrouble, CausesTheUserCanRemove) {
  struct Case {
    const char *name;
    std::exception_ptr error;
    PortTrouble expected;
  } cases[] = {
      {"EACCES", RaisedForErrno(EACCES), PortTrouble::NoRights},
      {"EPERM", RaisedForErrno(EPERM), PortTrouble::NoRights},
      {"busy", std::make_exception_ptr(EAlreadyOpen()), PortTrouble::Busy},
      {"empty UART slot", ExceptionForCode(-static_cast<int32_t>(platform::kErrNoUart)), PortTrouble::EmptySlot},
      {"no such port", std::make_exception_ptr(EBadId()), PortTrouble::Missing},
      {"ENOENT", RaisedForErrno(ENOENT), PortTrouble::Other}, // only the open path makes it EBadId
      {"other I/O error", RaisedForErrno(EIO), PortTrouble::Other},
      {"file not found as I/O error", std::make_exception_ptr(EInOutError("x", 2)), PortTrouble::Other},
      {"not a serial-layer error", std::make_exception_ptr(std::runtime_error("x")), PortTrouble::Other},
      {"nothing", nullptr, PortTrouble::Other},
  };
  for (const Case &c : cases)
    EXPECT_EQ(TroubleOf(c.error), c.expected) << c.name;
}

TEST(PortTrouble, HintFromTheLanguageFileOrBuiltIn) {
  std::array<QString, 101> texts;
  EXPECT_TRUE(PortTroubleHint(PortTrouble::Other, texts).isEmpty());
  EXPECT_TRUE(PortTroubleHint(PortTrouble::Missing, texts).isEmpty());
  EXPECT_TRUE(PortTroubleHint(PortTrouble::NoRights, texts).contains("dialout"));
  EXPECT_TRUE(PortTroubleHint(PortTrouble::Busy, texts).contains("ModemManager"));
  EXPECT_TRUE(PortTroubleHint(PortTrouble::Busy, texts).contains("brltty"));
  EXPECT_TRUE(PortTroubleHint(PortTrouble::EmptySlot, texts).contains("/dev/ttyUSB0"));
  texts[11] = "keine Rechte";
  texts[12] = "belegt";
  texts[13] = "kein Baustein";
  EXPECT_EQ(PortTroubleHint(PortTrouble::NoRights, texts), "keine Rechte");
  EXPECT_EQ(PortTroubleHint(PortTrouble::Busy, texts), "belegt");
  EXPECT_EQ(PortTroubleHint(PortTrouble::EmptySlot, texts), "kein Baustein");
  EXPECT_TRUE(PortTroubleHint(PortTrouble::Other, texts).isEmpty());
}

} // namespace
