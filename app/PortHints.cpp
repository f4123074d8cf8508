#include "app/PortHints.h"

#include "app/ShownTexts.h"

QString PortTroubleHint(PortTrouble trouble, const TLanguageTexts &texts) {
  switch (trouble) {
  case PortTrouble::NoRights:
    return texts[lang::NoRightsHint].isEmpty()
               ? QStringLiteral("No rights on the device: add the user to the dialout group and log in again.")
               : texts[lang::NoRightsHint];
  case PortTrouble::Busy:
    return texts[lang::PortBusyHint].isEmpty()
               ? QStringLiteral("Another program holds the device (ModemManager or brltty often take USB adapters).")
               : texts[lang::PortBusyHint];
  case PortTrouble::EmptySlot:
    return texts[lang::EmptySlotHint].isEmpty()
               ? QStringLiteral("No serial port hardware is fitted at this address: link the "
                                "COM number to the real device, for example /dev/ttyUSB0.")
               : texts[lang::EmptySlotHint];
  case PortTrouble::Missing:
  case PortTrouble::Other:
    break;
  }
  return {};
}
