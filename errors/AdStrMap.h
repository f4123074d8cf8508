#pragma once
// The code-to-text table of the serial layer. Filled at compile time and
// read-only, so any thread may read it.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

struct AdMessageNumberLookupRecord {
  int32_t MessageNumber;
  const char *MessageString;
};

constexpr std::size_t kMessageTableSize = 897;

extern const std::array<AdMessageNumberLookupRecord, kMessageTableSize> MessageTable;

// Text of a code, searched by its absolute value: at most 255 characters,
// possibly empty. A code with no table text falls back on the platform's
// text for that error number, cleaned into one line. Codes are 16-bit; any
// 32-bit value is accepted and simply has no table entry when wider.
std::string MessageForCode(int32_t code);

// Pieces of MessageForCode, exposed for tests: the cut to 255 characters
// (UTF-8 aware), the one-line form of a platform text and the search step.
namespace strmap_detail {
std::string CutText(std::string text);
std::string OneLine(const std::string &text);
// The middle of a search step: (low + high) / 2 rounded, halves to even.
int64_t SearchMiddle(int64_t low, int64_t high);
} // namespace strmap_detail

// Where the dispatcher's event log finds its texts (look them up with
// MessageForCode).
namespace logtext {
constexpr int16_t kTypeBase = 15001;     // type t: kTypeBase + t (0..20)
constexpr int16_t kSubtypeBase = 15100;  // subtype s: kSubtypeBase + s; 0 is empty
constexpr int16_t kHeading = 15501;      // "Time      Type      SubType ..."
constexpr int16_t kRule = 15502;         // "--------  --------  ..."
constexpr int16_t kModemBitBase = 15601; // bit b of the modem delta byte: + b ("DCTS" .. "DCD")
constexpr int16_t kOptionBase = 15700;   // network option d (0..42): + d
constexpr int16_t kOptionLast = 42;
} // namespace logtext
