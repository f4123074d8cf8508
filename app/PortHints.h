#pragma once
// Why a port did not open, in terms a Linux user can act on. The port
// message itself stays as it is; for the two causes the user can remove a
// second line says what to do.
#include <QString>
#include <array>
#include <exception>

// Missing: no device at the path the number leads to (the port dialog may
// then offer a device present that no number leads to).
enum class PortTrouble { Other, NoRights, Busy, Missing };

// The cause of a failed open, from what the port component threw.
PortTrouble TroubleOf(const std::exception_ptr &error);

// The second line for the port message: language entry 11 (no rights) or
// 12 (busy), a built-in English text when the language file lacks it, or
// empty for other causes (a missing device is answered by the dialog).
QString PortTroubleHint(PortTrouble trouble, const std::array<QString, 101> &texts);
