#pragma once
// Why a port did not open, in the causes a user can remove or at least
// understand.
#include <exception>

// Missing: no device at the path the number leads to (the window may then
// offer the port dialog, as for an empty slot).
enum class PortTrouble { Other, NoRights, Busy, EmptySlot, Missing };

// The cause of a failed open, from what the port component threw.
PortTrouble TroubleOf(const std::exception_ptr &error);
