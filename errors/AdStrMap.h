#pragma once
// The code-to-text table of the serial layer. Filled at compile time and
// read-only, so any thread may read it.
#include <array>
#include <cstddef>
#include <cstdint>

struct AdMessageNumberLookupRecord {
  int32_t MessageNumber;
  const char *MessageString;
};

constexpr std::size_t kMessageTableSize = 897;

extern const std::array<AdMessageNumberLookupRecord, kMessageTableSize> MessageTable;

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
