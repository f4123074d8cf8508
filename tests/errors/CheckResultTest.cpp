#include "errors/AdExcept.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

enum class Fam { General, OpenComm, SerialIO, Modem, Trigger, Protocol, INI, Fax, Tapi, Ras };

// The family by the C++ type; -1 when it is none or more than one.
int FamilyOf(const EAPDException &e) {
  const bool is[] = {dynamic_cast<const EGeneral *>(&e) != nullptr,  dynamic_cast<const EOpenComm *>(&e) != nullptr,
                     dynamic_cast<const ESerialIO *>(&e) != nullptr, dynamic_cast<const EModem *>(&e) != nullptr,
                     dynamic_cast<const ETrigger *>(&e) != nullptr,  dynamic_cast<const EProtocol *>(&e) != nullptr,
                     dynamic_cast<const EINI *>(&e) != nullptr,      dynamic_cast<const EFax *>(&e) != nullptr,
                     dynamic_cast<const ETapi *>(&e) != nullptr,     dynamic_cast<const ERas *>(&e) != nullptr};
  int found = -1;
  for (int i = 0; i < 10; ++i)
    if (is[i]) {
      if (found != -1)
        return -1;
      found = i;
    }
  return found;
}

struct ClassCase {
  int32_t code;
  const char *name; // nullptr: only the family is checked
  Fam family;
};

std::vector<ClassCase> ClassCases() {
  std::vector<ClassCase> c = {
      {-1002, "EBadArgument", Fam::General},
      {-1003, "EGotQuitMsg", Fam::General},
      {-1004, "EBufferTooBig", Fam::General},
      {-1005, "EPortNotAssigned", Fam::General},
      {-1006, "EInternal", Fam::General},
      {-1007, "EModemNotAssigned", Fam::General},
      {-1008, "EPhonebookNotAssigned", Fam::General},
      {-1009, "ECannotUseWithWinSock", Fam::General},
      {-2001, "EBadId", Fam::OpenComm},
      {-2002, "EBaudRate", Fam::OpenComm},
      {-2003, "EByteSize", Fam::OpenComm},
      {-2004, "EDefault", Fam::OpenComm},
      {-2005, "EHardware", Fam::OpenComm},
      {-2006, "EMemory", Fam::OpenComm},
      {-2007, "ECommNotOpen", Fam::OpenComm},
      {-2008, "EAlreadyOpen", Fam::OpenComm},
      {-2009, "ENoHandles", Fam::OpenComm},
      {-2010, "ENoTimers", Fam::OpenComm},
      {-2011, "ENoPortSelected", Fam::OpenComm},
      {-2012, "ENotOpenedByTapi", Fam::OpenComm},
      {-3001, "ENullApi", Fam::SerialIO},
      {-3003, "ERegisterHandlerFailed", Fam::SerialIO},
      {-3004, "EPutBlockFail", Fam::SerialIO},
      {-3005, "EGetBlockFail", Fam::SerialIO},
      {-3006, "EOutputBufferTooSmall", Fam::SerialIO},
      {-3007, "EBufferIsEmpty", Fam::SerialIO},
      {-3008, "ETracingNotEnabled", Fam::SerialIO},
      {-3009, "ELoggingNotEnabled", Fam::SerialIO},
      {-3010, "EBaseAddressNotSet", Fam::SerialIO},
      {-4001, "EModemNotStarted", Fam::Modem},
      {-4002, "EModemBusy", Fam::Modem},
      {-4003, "EModemNotDialing", Fam::Modem},
      {-4004, "ENotDialing", Fam::Modem},
      {-4005, "EAlreadyDialing", Fam::Modem},
      {-4006, "EModemNotResponding", Fam::Modem},
      {-4007, "EModemRejectedCommand", Fam::Modem},
      {-4008, "EModemStatusMismatch", Fam::Modem},
      {-5001, "ENoMoreTriggers", Fam::Trigger},
      {-5002, "ETriggerTooLong", Fam::Trigger},
      {-5003, "EBadTriggerHandle", Fam::Trigger},
      {-6006, "EProtocol", Fam::Protocol},
      {-6008, "EProtocol", Fam::Protocol},
      {-6009, "EProtocol", Fam::Protocol},
      {-7001, "EKeyTooLong", Fam::INI},
      {-7002, "EDataTooLarge", Fam::INI},
      {-7003, "EInternal", Fam::General},
      {-7004, "EIniWrite", Fam::INI},
      {-7005, "EIniRead", Fam::INI},
      {-7006, "EInternal", Fam::General},
      {-7007, "ERecordExists", Fam::INI},
      {-7008, "ERecordNotFound", Fam::INI},
      {-7010, "EDatabaseFull", Fam::INI},
      {-7011, "EDatabaseEmpty", Fam::INI},
      {-7012, "EInternal", Fam::General},
      {-7013, "EBadFieldList", Fam::INI},
      {-7014, "EBadFieldForIndex", Fam::INI},
      {-8001, "EFaxBadFormat", Fam::Fax},
      {-8002, "EBadGraphicsFormat", Fam::Fax},
      {-8003, "EConvertAbort", Fam::Fax},
      {-8004, "EUnpackAbort", Fam::Fax},
      {-8005, "ECantMakeBitmap", Fam::Fax},
      {-8053, "EInvalidPageNumber", Fam::Fax},
      {-8060, "EFaxBadMachine", Fam::Fax},
      {-8061, "EFaxBadModemResult", Fam::Fax},
      {-8062, "EFaxTrainError", Fam::Fax},
      {-8063, "EFaxInitError", Fam::Fax},
      {-8064, "EFaxBusy", Fam::Fax},
      {-8065, "EFaxVoiceCall", Fam::Fax},
      {-8066, "EFaxDataCall", Fam::Fax},
      {-8067, "EFaxNoDialTone", Fam::Fax},
      {-8068, "EFaxNoCarrier", Fam::Fax},
      {-8069, "EFaxSessionError", Fam::Fax},
      {-8070, "EFaxPageError", Fam::Fax},
      {-13980, "ERasLoadFail", Fam::Ras},
      // telephony, named where the numbering jumps
      {-13801, "ETapiAllocated", Fam::Tapi},
      {-13803, "ETapiBearerModeUnavail", Fam::Tapi},
      {-13805, "ETapiCallUnavail", Fam::Tapi},
      {-13848, "ETapiInvalMessageID", Fam::Tapi},
      {-13850, "ETapiInvalParam", Fam::Tapi},
      {-13868, "ETapiNoMem", Fam::Tapi},
      {-13886, "ETapiNoMultipleInstance", Fam::Tapi},
      {-13928, "ETapiBusy", Fam::Tapi},
      {-13929, "ETapiNotSet", Fam::Tapi},
      {-13930, "ETapiNoSelect", Fam::Tapi},
      {-13931, "ETapiLoadFail", Fam::Tapi},
      {-13932, "ETapiGetAddrFail", Fam::Tapi},
      {-13935, "ETapiVoiceNotSupported", Fam::Tapi},
      {-13936, "ETapiWaveFail", Fam::Tapi},
      {-13942, "ETapiTranslateFail", Fam::Tapi},
  };
  for (int32_t code = -13801; code >= -13886; --code)
    if (code != -13804 && code != -13849)
      c.push_back({code, nullptr, Fam::Tapi});
  return c;
}

template <class E, class F>
void ExpectThrows(F &&f, const std::function<void(const E &)> &check) {
  try {
    f();
    ADD_FAILURE() << "nothing raised";
  } catch (const E &e) {
    check(e);
  } catch (const std::exception &e) {
    ADD_FAILURE() << "wrong exception: " << e.what();
  }
}

} // namespace

TEST(CheckResult, ReturnsCodesThatAreNotRaised) {
  for (int32_t code : {0, 1, 16, 12345, INT32_MAX}) {
    EXPECT_EQ(CheckResult(false, code), code);
    EXPECT_EQ(CheckResult(true, code), code);
  }
  // Loading from the stored form raises nothing at all.
  for (int32_t code : {-1, -8, -5, -2001, -3001, -7003, -13868, -32768, INT32_MIN})
    EXPECT_EQ(CheckResult(true, code), code);
}

TEST(CheckResult, EveryClassedCodeRaisesItsClassInItsFamily) {
  const auto cases = ClassCases();
  for (const auto &c : cases) {
    SCOPED_TRACE(c.code);
    ExpectThrows<EAPDException>([&] { CheckResult(false, c.code); },
                                [&](const EAPDException &e) {
                                  EXPECT_EQ(e.ResultCode, c.code);
                                  EXPECT_EQ(e.Message(), MessageForCode(c.code));
                                  EXPECT_FALSE(e.Message().empty());
                                  EXPECT_EQ(FamilyOf(e), static_cast<int>(c.family));
                                  if (c.name) {
                                    EXPECT_STREQ(e.ClassName(), c.name);
                                    EXPECT_STREQ(ExceptionClassName(c.code), c.name);
                                  }
                                });
  }
}

TEST(CheckResult, OnlyTheListedCodesHaveAClass) {
  // 160 class codes and six more that raise EInternal or EProtocol.
  int withClass = 0;
  for (int32_t code = -32768; code <= 32767; ++code)
    if (ExceptionClassName(code))
      ++withClass;
  EXPECT_EQ(withClass, 166);
  std::set<std::string> tapiNames;
  for (int32_t code = -13801; code >= -13942; --code)
    if (const char *n = ExceptionClassName(code))
      tapiNames.insert(n);
  EXPECT_EQ(tapiNames.size(), 92u);
}

TEST(CheckResult, FileAndDeviceCodesRaiseTheRuntimeIOError) {
  for (int32_t code = -2; code >= -162; --code) {
    if (code == -8)
      continue;
    SCOPED_TRACE(code);
    ExpectThrows<EInOutError>([&] { CheckResult(false, code); },
                              [&](const EInOutError &e) {
                                EXPECT_EQ(e.ErrorCode, -code);
                                EXPECT_EQ(e.Message(), MessageForCode(code));
                              });
  }
  ExpectThrows<EInOutError>([] { CheckResult(false, -5); },
                            [](const EInOutError &e) {
                              EXPECT_EQ(e.ErrorCode, 5);
                              EXPECT_EQ(e.Message(), "File access denied");
                            });
  ExpectThrows<EInOutError>([] { CheckResult(false, -87); },
                            [](const EInOutError &e) {
                              EXPECT_EQ(e.ErrorCode, 87);
                              EXPECT_EQ(e.Message(), "The parameter is incorrect. ");
                            });
  // The user without rights reads a permission text, not "busy".
  ExpectThrows<EInOutError>([] { CheckResult(false, -13); },
                            [](const EInOutError &e) { EXPECT_NE(e.Message().find("dialout"), std::string::npos); });
}

TEST(CheckResult, MinusEightIsOutOfMemory) {
  try {
    CheckResult(false, -8);
    ADD_FAILURE() << "nothing raised";
  } catch (const EInOutError &) {
    ADD_FAILURE() << "raised the I/O error";
  } catch (const EOutOfMemory &e) {
    EXPECT_EQ(e.Message(), "Zu wenig Arbeitsspeicher");
  }
}

TEST(CheckResult, EverythingElseIsTheUnknownError) {
  for (int32_t code : {-1,    -163,  -200,  -1001, -3002,  -4009,  -5501,  -6001,  -7009,  -7500,  -8050,
                       -8092, -8100, -8340, -8500, -13804, -13934, -13959, -13999, -20005, -32768, INT32_MIN}) {
    SCOPED_TRACE(code);
    ExpectThrows<EAPDException>([&] { CheckResult(false, code); },
                                [](const EAPDException &e) {
                                  EXPECT_EQ(e.ResultCode, 0);
                                  EXPECT_EQ(e.Message(), "Korvu exception");
                                  EXPECT_STREQ(e.ClassName(), "EAPDException");
                                  EXPECT_EQ(dynamic_cast<const EGeneral *>(&e), nullptr);
                                });
  }
}

TEST(CheckResult, FamiliesCatchTheirClasses) {
  EXPECT_THROW(CheckResult(false, -2008), EOpenComm);
  EXPECT_THROW(CheckResult(false, -2008), EAlreadyOpen);
  EXPECT_THROW(CheckResult(false, -3007), ESerialIO);
  EXPECT_THROW(CheckResult(false, -7003), EGeneral);
  EXPECT_THROW(CheckResult(false, -13868), ETapi);
  EXPECT_THROW(CheckResult(false, -1002), Exception);
  EXPECT_THROW(CheckResult(false, -13980), std::exception);
}

TEST(RaisingDirectly, ClassesKnowTheirCodes) {
  ENoPortSelected noPort;
  EXPECT_EQ(noPort.ResultCode, -2011);
  EXPECT_EQ(noPort.Message(), "The ComNumber property of the TApdComPort has not been set");
  ENullApi nullApi;
  EXPECT_EQ(nullApi.ResultCode, -3001);
  EXPECT_EQ(nullApi.Message(), "No device layer specified");
  EXPECT_THROW(RaiseForCode(-2011), ENoPortSelected);
  EXPECT_THROW(RaiseForCode(-3001), ENullApi);
  EXPECT_THROW(RaiseForCode(0), EAPDException);
  EXPECT_EQ(ExceptionForCode(0), nullptr);
  EXPECT_EQ(ExceptionForCode(5), nullptr);
}

TEST(RaisingDirectly, AnExceptionCrossesThreads) {
  // A background thread makes the exception; the owning thread raises it.
  std::exception_ptr made;
  std::thread t([&] { made = ExceptionForCode(-3004); });
  t.join();
  ASSERT_NE(made, nullptr);
  EXPECT_THROW(std::rethrow_exception(made), EPutBlockFail);
}

TEST(CheckResult, ConcurrentUseGivesTheSameResults) {
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&] {
      for (int32_t code = -14000; code <= 0; code += 7) {
        const std::string expected = MessageForCode(code);
        try {
          CheckResult(false, code);
        } catch (const EAPDException &e) {
          if (e.ResultCode != 0 && e.Message() != expected)
            ++mismatches;
        } catch (const Exception &) {
        }
      }
    });
  for (auto &t : threads)
    t.join();
  EXPECT_EQ(mismatches.load(), 0);
}
