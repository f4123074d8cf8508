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

QString PortTroubleHint(PortTrouble trouble, const std::array<QString, 101> &texts) {
  switch (trouble) {
  case PortTrouble::NoRights:
    return texts[11].isEmpty()
               ? QStringLiteral("No rights on the device: add the user to the dialout group and log in again.")
               : texts[11];
  case PortTrouble::Busy:
    return texts[12].isEmpty()
               ? QStringLiteral("Another program holds the device (ModemManager or brltty often take USB adapters).")
               : texts[12];
  case PortTrouble::EmptySlot:
    return texts[13].isEmpty() ? QStringLiteral("No serial port hardware is fitted at this address: link the COM "
                                                "number to the real device, for example /dev/ttyUSB0.")
                               : texts[13];
  case PortTrouble::Missing:
  case PortTrouble::Other:
    break;
  }
  return {};
}
