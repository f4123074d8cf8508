// Includes the window may use: the controller, the port dialog and the
// number field.
#include "app/Unit1.h"
#include "controller/RotorController.h"
#include "numedit/PBNumEdit.h"
#include "portdialog/AdSelCom.h"
#include "runtime/SysUtils.h"
