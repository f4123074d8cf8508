// Includes the controller may use: the port component and the network
// protocol, and through them what their headers need.
#include "comport/AdPort.h"
#include "controller/RotorController.h"
#include "netctl/Session.h"
#include "runtime/SysUtils.h"
