#include "controller/PortTrouble.h"

#include "comport/AdPort.h"

#include <cerrno>

PortTrouble TroubleOf(const std::exception_ptr &error) {
  if (!error)
    return PortTrouble::Other;
  try {
    std::rethrow_exception(error);
  } catch (const EAlreadyOpen &) {
    // Locked or held by another program (EBUSY, a lock we cannot take).
    return PortTrouble::Busy;
  } catch (const EInOutError &e) {
    // EACCES and EPERM both arrive as the runtime's I/O error EACCES.
    if (e.ErrorCode == EACCES)
      return PortTrouble::NoRights;
  } catch (...) {
  }
  return PortTrouble::Other;
}
