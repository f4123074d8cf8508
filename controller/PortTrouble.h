#pragma once
// Why a port did not open: the port component tells, the controller's users
// (the window's message, the service's log line) act on it.
#include "comport/PortTrouble.h"
