#pragma once
// Bytes of the rotator's control unit: the commands we send and the position
// report we parse.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

using TCommandBuffer = std::array<int32_t, 13>;
using TFrameBuffer = std::array<int32_t, 29>;

constexpr uint8_t CR = 13;

// Moves and stops go out after this much quiet on the line, with the poll
// held; the next poll then comes a full period after the command.
constexpr int QuietMs = 200;
// A report older than this many poll periods no longer says where the
// rotator is.
constexpr int StalePeriods = 3;

// Three-digit position field: hundreds, tens, units as byte codes. Taken from
// the value's decimal text: units = last character; tens (10..99) = first
// character; hundreds and tens (100 and more) = first and second character.
// 7 -> "007", 360 -> "360", 1234 -> "124", -5 -> "005".
std::array<uint8_t, 3> PositionDigits(int32_t value);

std::vector<uint8_t> PollCommand(int32_t pollMode);                         // "C" CR or "C" "2" CR
std::vector<uint8_t> MoveAxis1Command(int32_t position1);                   // "M" ddd CR
std::vector<uint8_t> MoveAxis2Command(int32_t position2);                   // "M" "B" ddd CR
std::vector<uint8_t> MoveBothCommand(int32_t position1, int32_t position2); // "W" ddd " " ddd CR
std::vector<uint8_t> StopAxis1Command();                                    // "A" CR
std::vector<uint8_t> StopAxis2Command();                                    // "E" CR
std::vector<uint8_t> StopBothCommand();                                     // "S" CR

// Manual turns go on until a stop.
enum class TurnDirection { Ccw, Cw, Down, Up };
std::vector<uint8_t> TurnCommand(TurnDirection direction); // "L", "R", "D" or "U", CR

// Value of three received bytes taken as digits; not checked, so a space in
// a digit position gives a negative number.
int32_t ThreeDigitValue(int32_t h, int32_t t, int32_t u);

// Works on the frame after the bytes of an event are stored: a leading CR
// shifts entries 1..16 down by one; then the report is recognised in either
// alignment ("AZ" first, or "Z" first with "A" in entry 15). Returns whether
// a report was found and, if so, sets both positions.
bool ParseReport(TFrameBuffer &frame, int32_t &position1, int32_t &position2);

// The azimuth to send for a target: of the values within 0..range (360 or
// 450) that point the same way as target (any whole degree, -180 included),
// the one nearest to where the unit is now, so it never turns the long way
// round. With 360, a target of 0 or 360 near the north end stop is the end
// it is near; with 450, 40 becomes 400 for a unit in the overlap.
int32_t ShortWayAzimuth(int32_t target, int32_t from, int32_t range);

// How far apart two azimuths point, 0..180, whatever their turns.
int32_t AzimuthApart(int32_t a, int32_t b);
