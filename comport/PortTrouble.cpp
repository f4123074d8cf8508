#include "comport/PortTrouble.h"

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
