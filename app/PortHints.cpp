#include "app/PortHints.h"

#include "errors/AdExcept.h"
#include "platform/PlatformErrors.h"
#include "runtime/SysUtils.h"

PortTrouble TroubleOf(const std::exception_ptr &error) {
  if (!error)
    return PortTrouble::Other;
  try {
    std::rethrow_exception(error);
  } catch (const EBadId &) {
    // Nothing at the path the number leads to.
    return PortTrouble::Missing;
  } catch (const EAlreadyOpen &) {
    // Locked or held by another program (EBUSY, a lock we cannot take).
    return PortTrouble::Busy;
  } catch (const EInOutError &e) {
    // EACCES and EPERM arrive as the runtime's I/O error of that number.
    if (e.ErrorCode == static_cast<int>(platform::kErrPermission))
      return PortTrouble::NoRights;
    if (e.ErrorCode == static_cast<int>(platform::kErrNoUart))
      return PortTrouble::EmptySlot;
  } catch (...) {
  }
  return PortTrouble::Other;
}

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
               ? QStringLiteral("No serial port hardware is fitted at this address: link the COM "
                                "number to the real device, for example /dev/ttyUSB0.")
               : texts[lang::EmptySlotHint];
  case PortTrouble::Missing:
  case PortTrouble::Other:
    break;
  }
  return {};
}
