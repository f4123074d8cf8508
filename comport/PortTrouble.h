#pragma once
// Why a port did not open, in the causes a user can remove or at least
// understand.
#include <exception>

enum class PortTrouble { Other, NoRights, Busy, EmptySlot };

// The cause of a failed open, from what the port component threw.
PortTrouble TroubleOf(const std::exception_ptr &error);
