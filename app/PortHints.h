#pragma once
// Why a port did not open, in terms a Linux user can act on. The port
// message itself stays as it is; for the two causes the user can remove a
// second line says what to do.
#include "app/LanguageEntries.h"

#include <QString>
#include <exception>

enum class PortTrouble { Other, NoRights, Busy };

// The cause of a failed open, from what the port component threw.
PortTrouble TroubleOf(const std::exception_ptr &error);

// The second line for the port message: the language entry for no rights
// or for a busy device, a built-in English text when the language file lacks it, or
// empty for other causes.
QString PortTroubleHint(PortTrouble trouble, const TLanguageTexts &texts);
