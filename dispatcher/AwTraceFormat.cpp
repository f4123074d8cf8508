#include "dispatcher/AwTraceFormat.h"

#include <cerrno>
#include <cstring>
#include <iterator>

#include "errors/AdExcept.h"
#include "errors/AdStrMap.h"
#include "errors/AdResultCodes.h"

namespace awtrace {

namespace {

// Message-table entries that name the log's texts.
constexpr int32_t kTypeNameBase = logtext::kTypeBase;
constexpr int32_t kSubTypeNameBase = logtext::kSubtypeBase; // 15100 itself is empty
constexpr int32_t kOptionNameBase = logtext::kOptionBase;
constexpr uint32_t kLastOption = logtext::kOptionLast;
constexpr int32_t kLastTableCode = 15742;

constexpr uint8_t kSubTypeModemStatus = 4;
constexpr uint8_t kSubTypeStatusTrigger = 15;
constexpr uint8_t kTypeTriggerAlloc = 5;
constexpr uint8_t kTypeTriggerDispose = 6;
constexpr uint8_t kTypeTelnet = 10;

// Bytes of a log entry start after the four fields (44 characters); a line
// is ended when the column would reach 79.
constexpr int kLogDataColumn = 45;
constexpr int kLogWrapColumn = 79;
constexpr int kTraceLastColumn = 78;

const char *const kStatusKinds[] = {"(Not active)",         "(Modem status)",       "(Line status)",
                                    "(Output buffer free)", "(Output buffer used)", "(Output sent)"};

void AppendHex2(std::string &out, uint8_t b) {
  static const char digits[] = "0123456789ABCDEF";
  out += digits[b >> 4];
  out += digits[b & 0x0F];
}

std::string Lookup(const TextLookup &text, int32_t code) { return text ? text(code) : std::string(); }

} // namespace

const TextLookup &DefaultTextLookup() {
  static const TextLookup lookup = [](int32_t code) { return MessageForCode(code); };
  return lookup;
}

int AppendDataByte(std::string &out, uint8_t b, bool hex, bool allHex, bool rawInAllHex) {
  if (allHex) {
    if (rawInAllHex) {
      out += static_cast<char>(b);
      return 1;
    }
    out += '[';
    AppendHex2(out, b);
    out += ']';
    return 4;
  }
  const uint8_t lowest = hex ? 0x21 : 0x20;
  if (b >= lowest && b <= 0x7E) {
    out += static_cast<char>(b);
    return 1;
  }
  if (hex) {
    out += '[';
    AppendHex2(out, b);
    out += ']';
    return 4;
  }
  const std::string dec = std::to_string(b);
  out += '[';
  out += dec;
  out += ']';
  return static_cast<int>(dec.size()) + 2;
}

void TTraceFormatter::Add(uint8_t kind, uint8_t byte, std::string &out) {
  if (first_ || kind != kind_) {
    if (!first_) {
      out += kLineEnd;
      out += kLineEnd;
      column_ = 0;
    }
    if (kind == kTraceReceive)
      out += "Receive: ";
    else if (kind == kTraceTransmit)
      out += "Transmit: ";
    else {
      out += "Special-";
      out += static_cast<char>(kind);
      out += ": ";
    }
    out += kLineEnd;
    first_ = false;
    kind_ = kind;
  }
  std::string form;
  const int width = AppendDataByte(form, byte, hex_, allHex_);
  column_ += width;
  if (column_ > kTraceLastColumn) {
    out += kLineEnd;
    column_ = width;
  }
  out += form;
}

void TTraceFormatter::Finish(std::string &out) {
  if (!first_)
    out += kLineEnd;
}

std::string FormatTrace(const uint8_t *buffer, uint32_t capacity, uint32_t position, bool wrapped, bool hex,
                        bool allHex) {
  std::string out;
  if (!buffer || capacity == 0 || (!wrapped && position == 0))
    return out;
  TTraceFormatter f(hex, allHex);
  uint32_t i = wrapped ? position : 0;
  do {
    f.Add(buffer[2 * i], buffer[2 * i + 1], out);
    if (++i == capacity)
      i = 0;
  } while (i != position);
  f.Finish(out);
  return out;
}

std::string FormatLogTime(uint32_t ms) {
  std::string digits = std::to_string(ms);
  if (digits.size() < 7)
    digits.insert(0, 7 - digits.size(), '0');
  digits.insert(digits.size() - 3, 1, '.');
  return digits;
}

std::string FormatLogEntry(const TLogEntryView &e, bool hex, bool allHex, const TextLookup &text) {
  std::string subName;
  if (e.SubType != 0 && kSubTypeNameBase + e.SubType <= kLastTableCode)
    subName = Lookup(text, kSubTypeNameBase + e.SubType);
  char fields[128];
  char dataHex[16];
  std::snprintf(dataHex, sizeof dataHex, "%08X", e.Data);
  std::snprintf(fields, sizeof fields, "%8s  %-8s  %-12s  %s  ", FormatLogTime(e.Time).c_str(),
                Lookup(text, kTypeNameBase + e.Type).c_str(), subName.c_str(), dataHex);
  std::string out = fields;

  const bool hasBytes = e.Bytes != nullptr && e.Length > 0;
  if (hasBytes) {
    const bool statusKind =
        e.SubType == kSubTypeStatusTrigger && (e.Type == kTypeTriggerAlloc || e.Type == kTypeTriggerDispose);
    if (statusKind && e.Bytes[0] < std::size(kStatusKinds)) {
      out += kStatusKinds[e.Bytes[0]];
    } else {
      int column = kLogDataColumn;
      const bool raw = e.Type == kLogTypeUser;
      std::string form;
      for (uint32_t i = 0; i < e.Length; ++i) {
        form.clear();
        const int width = AppendDataByte(form, e.Bytes[i], hex, allHex, raw);
        column += width;
        if (column >= kLogWrapColumn) {
          out += kLineEnd;
          out.append(kLogDataColumn - 1, ' ');
          column = width + kLogDataColumn;
        }
        out += form;
      }
    }
    if (e.SubType == kSubTypeModemStatus) {
      out += '(';
      bool any = false;
      for (int bit = 0; bit < 8; ++bit) {
        if (e.Data & (1u << bit)) {
          if (any)
            out += ' ';
          out += Lookup(text, logtext::kModemBitBase + bit);
          any = true;
        }
      }
      out += ')';
    }
  } else if (e.Type == kTypeTelnet) {
    out += '[';
    if (e.Data <= kLastOption)
      out += Lookup(text, kOptionNameBase + static_cast<int32_t>(e.Data));
    out += ']';
  }
  out += kLineEnd;
  return out;
}

std::string CompilerDescription() {
#if defined(__clang__)
  return std::string("Clang ") + __clang_version__;
#elif defined(__GNUC__)
  return "GCC " + std::to_string(__GNUC__) + "." + std::to_string(__GNUC_MINOR__) + "." +
         std::to_string(__GNUC_PATCHLEVEL__);
#else
  return "C++ compiler";
#endif
}

std::string FormatLogHeader(const std::string &deviceName, const std::string &compiler,
                            const std::string &operatingSystem, const TLocalTime &now, const TextLookup &text) {
  char when[64];
  std::snprintf(when, sizeof when, "%02d/%02d/%02d, %02d:%02d:%02d", now.Day % 100, now.Month % 100, now.Year % 100,
                now.Hour % 100, now.Minute % 100, now.Second % 100);
  std::string out;
  out += "Korvu ";
  out += "v4.07";
  out += kLineEnd;
  out += "Compiler : " + compiler + kLineEnd;
  out += "Operating System : " + operatingSystem.substr(0, 80) + kLineEnd;
  out += "Device: " + deviceName + kLineEnd;
  out += std::string("Date/time: ") + when + kLineEnd;
  out += Lookup(text, logtext::kHeading) + kLineEnd;
  out += Lookup(text, logtext::kRule) + kLineEnd;
  return out;
}

TTextFile::~TTextFile() {
  if (file_)
    std::fclose(file_);
}

int32_t TTextFile::Open(const std::string &name, bool append) {
  if (file_)
    Close();
  writeError_ = 0;
  errno = 0;
  file_ = std::fopen(name.c_str(), append ? "ab" : "wb");
  if (!file_) {
    const int err = errno ? errno : EIO;
    return ResultForErrno(err);
  }
  std::setvbuf(file_, buffer_, _IOFBF, sizeof buffer_);
  return 0;
}

void TTextFile::Write(const std::string &text) {
  if (!file_ || writeError_ || text.empty())
    return;
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), file_) != text.size())
    writeError_ = errno ? errno : EIO;
}

int32_t TTextFile::Close() {
  if (!file_)
    return 0;
  errno = 0;
  int err = writeError_;
  if (std::fclose(file_) != 0 && !err)
    err = errno ? errno : EIO;
  file_ = nullptr;
  writeError_ = 0;
  return err ? ResultForErrno(err) : ecOK;
}

} // namespace awtrace
