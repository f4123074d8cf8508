#pragma once
// Why a port did not open, in the two cases a user can do something about.
#include <exception>

enum class PortTrouble { Other, NoRights, Busy };

// The cause of a failed open, from what the port component threw.
PortTrouble TroubleOf(const std::exception_ptr &error);
