#pragma once
// Why a port did not open, in terms a Linux user can act on. The port
// message itself stays as it is; for the causes the user can remove, or at
// least understand, a second line says what to do.
#include "app/LanguageEntries.h"
#include "controller/PortTrouble.h"

#include <QString>

// The second line for the port message: the language entry for no rights,
// a busy device or an empty legacy UART slot, a built-in English text when
// the language file lacks it, or empty for other causes (a missing device is
// answered by the port dialog).
QString PortTroubleHint(PortTrouble trouble, const TLanguageTexts &texts);
