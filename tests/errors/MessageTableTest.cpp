#include "errors/AdExcept.h"
#include "errors/AdStrMap.h"
#include "platform/PlatformErrors.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

int32_t Abs(int32_t c) { return c < 0 ? -c : c; }

// The families' ranges and, inside them, the codes that carry a table entry.
struct Family {
  int32_t first, last;          // absolute codes, inclusive
  std::vector<int32_t> missing; // codes of the range without an entry
};

const std::vector<Family> &Families() {
  static const std::vector<Family> families = [] {
    std::vector<Family> f;
    // file and device: only the listed codes
    std::vector<int32_t> fileMissing;
    const std::set<int32_t> fileCodes = {2,   3,   4,   5,   6,   8,   15,  18,  100, 101, 102, 103, 104, 105,
                                         150, 151, 152, 153, 154, 155, 156, 157, 158, 159, 160, 161, 162};
    for (int32_t c = 2; c <= 162; ++c)
      if (!fileCodes.count(c))
        fileMissing.push_back(c);
    f.push_back({2, 162, fileMissing});
    f.push_back({1001, 1009, {}});
    f.push_back({2001, 2012, {}});
    f.push_back({3001, 3010, {}});
    f.push_back({4001, 4021, {}});
    f.push_back({5001, 5003, {}});
    f.push_back({5501, 5506, {}});
    f.push_back({6001, 6016, {}});
    f.push_back({7001, 7014, {}});
    f.push_back({7500, 7502, {}});
    std::vector<int32_t> faxMissing;
    for (int32_t c = 8006; c <= 8049; ++c)
      faxMissing.push_back(c);
    for (int32_t c = 8056; c <= 8059; ++c)
      faxMissing.push_back(c);
    f.push_back({8001, 8092, faxMissing});
    f.push_back({8100, 8103, {}});
    f.push_back({8300, 8340, {}});
    f.push_back({8500, 8500, {}});
    f.push_back({13801, 13886, {13804, 13849}});
    f.push_back({13928, 13959, {13933, 13946, 13947, 13948, 13949}});
    f.push_back({13980, 13980, {}});
    return f;
  }();
  return families;
}

const Family *FamilyOf(int32_t absCode) {
  for (const auto &f : Families())
    if (absCode >= f.first && absCode <= f.last)
      return &f;
  return nullptr;
}

} // namespace

TEST(MessageTable, ShapeAndOrder) {
  ASSERT_EQ(MessageTable.size(), 897u);
  EXPECT_EQ(MessageTable.front().MessageNumber, 0);
  EXPECT_STREQ(MessageTable.front().MessageString, "OK");
  EXPECT_EQ(MessageTable.back().MessageNumber, 15742);
  for (std::size_t i = 1; i < MessageTable.size(); ++i)
    ASSERT_LT(Abs(MessageTable[i - 1].MessageNumber), Abs(MessageTable[i].MessageNumber)) << "entry " << i;
  for (const auto &e : MessageTable) {
    ASSERT_NE(e.MessageString, nullptr);
    EXPECT_LE(std::strlen(e.MessageString), 255u) << e.MessageNumber;
  }
}

TEST(MessageTable, ExactlyTheElevenEmptyTexts) {
  std::vector<int32_t> empty;
  for (const auto &e : MessageTable)
    if (e.MessageString[0] == '\0')
      empty.push_back(e.MessageNumber);
  EXPECT_EQ(empty, (std::vector<int32_t>{4200, 4600, 4630, 4660, 4725, 4726, 4727, 4728, 4730, 10000, 15100}));
}

TEST(MessageTable, FamilyRangesHoldExactlyTheirErrorCodes) {
  std::set<int32_t> expected;
  for (const auto &f : Families())
    for (int32_t c = f.first; c <= f.last; ++c)
      if (std::find(f.missing.begin(), f.missing.end(), c) == f.missing.end())
        expected.insert(-c);

  std::set<int32_t> inRanges;
  for (const auto &e : MessageTable) {
    if (FamilyOf(Abs(e.MessageNumber))) {
      inRanges.insert(e.MessageNumber);
      EXPECT_LT(e.MessageNumber, 0) << "informational entry inside an error range";
    } else if (e.MessageNumber < 0) {
      ADD_FAILURE() << "error code outside every family: " << e.MessageNumber;
    }
  }
  EXPECT_EQ(inRanges, expected);
  EXPECT_EQ(expected.size(), 323u);
}

TEST(MessageTable, NoEntryWherePlatformTextsMustShow) {
  // 1, 13, 87 and the numbers of other errnos belong to the platform's texts.
  for (const auto &e : MessageTable) {
    const int32_t a = Abs(e.MessageNumber);
    EXPECT_NE(a, 1);
    EXPECT_NE(a, 13);
    EXPECT_NE(a, 87);
    EXPECT_LT(a, static_cast<int32_t>(platform::kErrOtherBase));
  }
}

TEST(MessageTable, QuotedTextsVerbatim) {
  const std::vector<std::pair<int32_t, std::string>> texts = {
      {0, "OK"},
      {-2, "File not found"},
      {-3, "Path not found"},
      {-4, "Too many open files"},
      {-5, "File access denied"},
      {-6, "Invalid file handle"},
      {-8, "Insufficient memory"},
      {-15, "Invalid drive"},
      {-18, "No more files"},
      {-100, "Attempt to read beyond end of file"},
      {-101, "Disk is full"},
      {-102, "File/device not assigned"},
      {-103, "File/device not open"},
      {-104, "File/device not open for input"},
      {-105, "File/device not open for output"},
      {-150, "Disk is write-protected"},
      {-151, "Unknown disk unit"},
      {-152, "Drive is not ready"},
      {-153, "Unknown command"},
      {-154, "Data error"},
      {-155, "Bad request structure length"},
      {-156, "Seek error"},
      {-157, "Unknown media type"},
      {-158, "Disk sector not found"},
      {-159, "Printer is out of paper"},
      {-160, "Device write error"},
      {-161, "Device read error"},
      {-162, "General failure"},
      {-1002, "Bad argument passed to function"},
      {-1003, "Got quit message"},
      {-1004, "Terminal buffer greater than 65521"},
      {-1005, "ComPort component not assigned"},
      {-1006, "Internal error creating window class"},
      {-1007, "Modem component not assigned"},
      {-1008, "Phonebook component not assigned"},
      {-1009, "Component not compatible with WinSock"},
      {-2001, "ie_BadId - Specified comport doesn't exist"},
      {-2002, "ie_Baudrate - unsupported baud rate"},
      {-2003, "ie_Bytesize - invalid byte size"},
      {-2004, "ie_Default - error in default parameters"},
      {-2005, "ie_Hardware - Specified comport in use"},
      {-2006, "ie_Memory - unable to allocate queues"},
      {-2007, "ie_NOpen - device not open"},
      {-2008, "ie_Open - device already open"},
      {-2009, "No more handles, can't open port"},
      {-2010, "No timers available"},
      {-2011, "The ComNumber property of the TApdComPort has not been set"},
      {-2012, "Comport was not opened by Tapi"},
      {-3001, "No device layer specified"},
      {-3003, "EnableCommNotification failed"},
      {-3004, "Failed to put entire block"},
      {-3005, "Failed to get entire block"},
      {-3006, "Output buffer too small for block"},
      {-3007, "Buffer is empty"},
      {-3008, "Tracing not enabled"},
      {-3009, "Logging not enabled"},
      {-3010, "Base address not set"},
      {-5001, "No more trigger slots"},
      {-5002, "Data trigger too long"},
      {-5003, "Bad trigger handle"},
      {-7003, "No fields defined in database"},
      {-13868, "No memory"},
      {15501, "Time      Type      SubType       Data      OtherData"},
      {15502, "--------  --------  ------------  --------  ---------"},
  };
  for (const auto &[code, text] : texts) {
    bool found = false;
    for (const auto &e : MessageTable)
      if (e.MessageNumber == code) {
        EXPECT_EQ(std::string(e.MessageString), text) << code;
        found = true;
      }
    EXPECT_TRUE(found) << "no entry with code " << code;
    EXPECT_EQ(MessageForCode(code), text) << code;
  }
}

TEST(MessageTable, LogNames) {
  const char *types[] = {"No event", "Dispatch", "Trigger",  "Error",  "Thread", "TrigAllc", "TrigDisp",
                         "TrgHdAlc", "TrgHdDsp", "TrDatChg", "Telnet", "Fax",    "XModem",   "YModem",
                         "ZModem",   "Kermit",   "Ascii",    "BPlus",  "Packet", "User",     "Script"};
  for (int t = 0; t <= 20; ++t)
    EXPECT_EQ(MessageForCode(logtext::kTypeBase + t), types[t]) << t;
  const char *subtypes[] = {"",      "ReadCom", "WriteCom", "Line status", "Modem status", "Avail", "Timer",
                            "Data",  "Status",  "Start",    "Exit",        "Sleep",        "Wake",  "Data",
                            "Timer", "Status",  "Avail",    "Window",      "Procedure",    "Method"};
  for (int s = 1; s <= 19; ++s)
    EXPECT_EQ(MessageForCode(logtext::kSubtypeBase + s), subtypes[s]) << s;
  const char *bits[] = {"DCTS", "DDSR", "TERI", "DDCD", "CTS", "DSR", "RI", "DCD"};
  for (int b = 0; b < 8; ++b)
    EXPECT_EQ(MessageForCode(logtext::kModemBitBase + b), bits[b]) << b;
  EXPECT_EQ(MessageForCode(logtext::kHeading).substr(0, 4), "Time");
  EXPECT_EQ(MessageForCode(logtext::kRule).substr(0, 8), "--------");
  for (int d = 0; d <= logtext::kOptionLast; ++d)
    EXPECT_FALSE(MessageForCode(logtext::kOptionBase + d).empty()) << d;
}

// A linear search gives what the halving search must find.
std::string Linear(int32_t code) {
  for (const auto &e : MessageTable)
    if (Abs(e.MessageNumber) == Abs(code))
      return e.MessageString;
  return {};
}

TEST(MessageForCode, EverySixteenBitCodeAgreesWithALinearSearch) {
  for (int32_t code = -32768; code <= 32767; ++code) {
    const std::string text = MessageForCode(code);
    const std::string table = Linear(code);
    if (!table.empty()) {
      ASSERT_EQ(text, table) << code;
    } else {
      std::string platformText = platform::PlatformErrorText(static_cast<uint32_t>(Abs(code)));
      ASSERT_EQ(text, strmap_detail::OneLine(platformText)) << code;
    }
    ASSERT_EQ(text, MessageForCode(-code)) << code; // sign does not matter
  }
}

TEST(MessageForCode, FallsBackOnThePlatformText) {
  // 87 and 13 have no entry: the platform's texts, made one line.
  const std::string p87 = MessageForCode(-87);
  EXPECT_EQ(p87, "The parameter is incorrect. ");
  const std::string p13 = MessageForCode(13);
  EXPECT_NE(p13.find("dialout"), std::string::npos);
  EXPECT_EQ(p13.back(), ' ');
  EXPECT_EQ(p13.find('\r'), std::string::npos);
  // An empty table text asks the platform too; it knows nothing of 4200.
  EXPECT_EQ(MessageForCode(4200), "");
  EXPECT_EQ(MessageForCode(-15100), "");
  // Other errnos arrive as kErrOtherBase + e and show the system's text.
  const int32_t eio = static_cast<int32_t>(platform::TranslateErrno(EIO));
  EXPECT_EQ(MessageForCode(-eio), std::string(strerrordesc_np(EIO)));
  // Nothing anywhere: empty.
  EXPECT_EQ(MessageForCode(1), "");
  EXPECT_EQ(MessageForCode(30000), "");
}

TEST(MessageForCode, WideCodesAreSafe) {
  for (int32_t code : {INT32_MIN, INT32_MIN + 1, -65536, 65536 + 2001, INT32_MAX})
    EXPECT_EQ(MessageForCode(code), "") << code;
}

TEST(MessageTextRules, OneLine) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"The parameter is incorrect.\r\n", "The parameter is incorrect. "},
      {"a\tb", "a b"},
      {"a \r\n b", "a b"},
      {"  lead and  trail  ", " lead and trail "},
      {"x\x01\x1f"
       "y",
       "x y"},
      {"\r\n", " "},
      {"", ""},
      {"caf\xc3\xa9\n", "caf\xc3\xa9 "}, // bytes of a UTF-8 character stay
  };
  for (const auto &[in, out] : cases)
    EXPECT_EQ(strmap_detail::OneLine(in), out) << in;
}

TEST(MessageTextRules, CutToTwoHundredFiftyFiveCharacters) {
  EXPECT_EQ(strmap_detail::CutText(std::string(255, 'a')), std::string(255, 'a'));
  EXPECT_EQ(strmap_detail::CutText(std::string(300, 'a')), std::string(255, 'a'));
  // Characters, not bytes: 254 ASCII and then two-byte characters.
  std::string mixed(254, 'a');
  mixed += "\xc3\xa9\xc3\xa9\xc3\xa9";
  std::string cut(254, 'a');
  cut += "\xc3\xa9";
  EXPECT_EQ(strmap_detail::CutText(mixed), cut);
}

TEST(MessageTextRules, SearchMiddleRoundsHalvesToEven) {
  for (int64_t low = 0; low < 897; ++low)
    for (int64_t high = low; high < 897; high += 7)
      ASSERT_EQ(strmap_detail::SearchMiddle(low, high), Round(static_cast<double>(low + high) / 2.0))
          << low << " " << high;
  EXPECT_EQ(strmap_detail::SearchMiddle(0, 1), 0);
  EXPECT_EQ(strmap_detail::SearchMiddle(1, 2), 2);
  EXPECT_EQ(strmap_detail::SearchMiddle(0, 896), 448);
}
