// Includes a layer may use: the port component over the dispatcher.
#include "comport/AdPort.h"
#include "dispatcher/AwUser.h"
#include "errors/AdExcept.h"
#include "platform/SerialDevice.h"
#include "runtime/SysUtils.h"
