#pragma once
// Why a port did not open, in terms a Linux user can act on. The port
// message itself stays as it is; for the causes the user can remove, or at
// least understand, a second line says what to do.
#include "controller/PortTrouble.h"

#include <QString>
#include <array>

// The second line for the port message: language entry 11 (no rights), 12
// (busy) or 13 (an empty legacy UART slot), a built-in English text when the
// language file lacks it, or empty for other causes (a missing device is
// answered by the port dialog).
QString PortTroubleHint(PortTrouble trouble, const std::array<QString, 101> &texts);
