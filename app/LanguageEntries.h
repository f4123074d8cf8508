#pragma once
// The language file's entries by what the window does with them. Entries
// not named here are loaded but not used.
#include <QString>
#include <array>

// Entry numbers run from 0 to 100; a line with another number is not taken.
constexpr int LanguageEntryCount = 101;
using TLanguageTexts = std::array<QString, LanguageEntryCount>;

namespace lang {
// A line: the language code, ';', the entry number, ';', the text.
constexpr int CodeLength = 2;
constexpr int NumberAt = 3, NumberDigits = 2;
constexpr int TextAt = 6, TextLength = 100;

constexpr int LanguageCaption = 1;   // the label beside the language box
constexpr int ExitCaption = 2;       // the exit button
constexpr int PortFailure = 4;       // follows "Port COM" and the number
constexpr int ManualCaption = 5;     // the three manual groups, with " 1", " 2", " 1+2"
constexpr int ParkingHint = 7;       // the parking fields' hints, with " 1", " 2"
constexpr int InvalidEntry = 8;      // precedes a rejected text in quotes
constexpr int DeviceLost = 9;        // follows "Port COM" and the number; else entry 4
constexpr int AzimuthStalled = 10;   // the stall guard's message
constexpr int NoRightsHint = 11;     // second line of the port message
constexpr int PortBusyHint = 12;     // second line of the port message
constexpr int EmptySlotHint = 13;    // second line of the port message
constexpr int ShowElevation = 20;    // the view choice on the window's context menu
constexpr int ElevationStalled = 21; // the stall guard's message for the elevation
} // namespace lang
