#include "app/PortHints.h"

#include "app/ShownTexts.h"

QString PortTroubleHint(PortTrouble trouble, const std::array<QString, 101> &texts) {
  switch (trouble) {
  case PortTrouble::NoRights:
    return texts[ltNoRights].isEmpty()
               ? QStringLiteral("No rights on the device: add the user to the dialout group and log in again.")
               : texts[ltNoRights];
  case PortTrouble::Busy:
    return texts[ltPortBusy].isEmpty()
               ? QStringLiteral("Another program holds the device (ModemManager or brltty often take USB adapters).")
               : texts[ltPortBusy];
  case PortTrouble::EmptySlot:
    return texts[ltEmptySlot].isEmpty() ? QStringLiteral("No serial port hardware is fitted at this address: link the "
                                                         "COM number to the real device, for example /dev/ttyUSB0.")
                                        : texts[ltEmptySlot];
  case PortTrouble::Missing:
  case PortTrouble::Other:
    break;
  }
  return {};
}
