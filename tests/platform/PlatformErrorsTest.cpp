#include "platform/PlatformErrors.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

using namespace platform;

TEST(TranslateErrno, MapsEachErrnoToItsNumber) {
  struct Case {
    int err;
    uint32_t number;
  } cases[] = {
      {0, 0},
      {ENOENT, kErrFileNotFound},
      {ENODEV, kErrFileNotFound},
      {ENXIO, kErrFileNotFound},
      {ENOTDIR, kErrPathNotFound},
      {EBUSY, kErrAccessDenied},
      {EWOULDBLOCK, kErrAccessDenied},
      {EAGAIN, kErrAccessDenied},
      {EBADF, kErrInvalidHandle},
      {ENOMEM, kErrNotEnoughMemory},
      {EACCES, kErrPermission},
      {EPERM, kErrPermission},
      {EINVAL, kErrInvalidParameter},
      {EIO, kErrOtherBase + EIO},
      {ENOTTY, kErrOtherBase + ENOTTY},
      {ETIMEDOUT, kErrOtherBase + ETIMEDOUT},
      {-EBUSY, kErrAccessDenied},
      {-EIO, kErrOtherBase + EIO},
  };
  for (const auto &c : cases)
    EXPECT_EQ(TranslateErrno(c.err), c.number) << "errno " << c.err;
}

TEST(TranslateErrno, MissingBusyAndForbiddenStayApart) {
  // The port component tells these apart by number alone.
  EXPECT_NE(TranslateErrno(EACCES), TranslateErrno(EBUSY));
  EXPECT_NE(TranslateErrno(EPERM), TranslateErrno(EWOULDBLOCK));
  EXPECT_NE(TranslateErrno(ENOENT), TranslateErrno(EBUSY));
}

TEST(PlatformErrorText, EveryProducedNumberHasText) {
  for (uint32_t n : {kErrFileNotFound, kErrPathNotFound, kErrAccessDenied, kErrInvalidHandle, kErrNotEnoughMemory,
                     kErrPermission, kErrNoUart, kErrInvalidParameter}) {
    const std::string t = PlatformErrorText(n);
    EXPECT_GT(t.size(), 10u) << n;
  }
}

TEST(PlatformErrorText, PermissionTextNamesTheGroupAndIsNotBusy) {
  const std::string t = PlatformErrorText(TranslateErrno(EACCES));
  EXPECT_NE(t.find("dialout"), std::string::npos);
  EXPECT_NE(t.find("ermission"), std::string::npos);
  EXPECT_EQ(t.find("in use"), std::string::npos);
  EXPECT_NE(t, PlatformErrorText(TranslateErrno(EBUSY)));
}

TEST(PlatformErrorText, OtherErrnosUseTheSystemText) {
  for (int e : {EIO, ENOTTY, ETIMEDOUT, EPIPE})
    EXPECT_EQ(PlatformErrorText(TranslateErrno(e)), std::string(strerror(e))) << e;
}

TEST(PlatformErrorText, NumbersNotProducedHaveNoText) {
  for (uint32_t n : {0u, 1u, 4u, 7u, 12u, 14u, 86u, 88u, 999u, 1005u, 4200u, kErrOtherBase, kErrOtherBase + 5000u,
                     kErrOtherBase + 0x80000000u, 0xFFFFFFFFu})
    EXPECT_EQ(PlatformErrorText(n), "") << n;
}

TEST(TranslateErrno, NegatedNumbersStayClearOfTheSerialLayerCodes) {
  // A negated number travels as a 16-bit result code; beyond the file and
  // device range (2..162) it must not land on one of the layer's own codes,
  // which end at 15742.
  for (int e = 1; e < 134; ++e) {
    const uint32_t n = TranslateErrno(e);
    if (n <= 162)
      continue;
    EXPECT_GT(n, 15742u) << "errno " << e;
    EXPECT_LE(n, 32767u) << "errno " << e;
  }
}
