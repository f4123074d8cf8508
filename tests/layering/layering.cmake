# Includes against the layering must not build, upward or past a layer.
# Each probe is compiled as a part of one library (its include paths); the
# check builds it and wants the compiler to say the header is not there (the
# allowed probes must build, so a broken check shows). The probes are not
# built by default.
set(_zk_probes
  "dispatcher|comport/AdPort.h"
  "dispatcher|app/Unit1.h"
  "errors|dispatcher/AwUser.h"
  "runtime|errors/AdExcept.h"
  "platform|dispatcher/AwUser.h"
  "netctl|app/Unit1.h"
  "netctl|comport/AdPort.h"
  "numedit|comport/AdPort.h"
  "rotorsim|platform/SerialDevice.h"
  "comport|app/Unit1.h"
  "comport|netctl/Protocol.h"
  "comport|controller/RotorController.h"
  "comport|controller/ReplyReader.h"
  "comport|portdialog/AdSelCom.h"
  "controller|app/Unit1.h"
  "controller|numedit/PBNumEdit.h"
  "controller|portdialog/AdSelCom.h"
  "controller|dispatcher/AwUser.h"
  "controller|errors/AdExcept.h"
  "controller|platform/SerialDevice.h"
  "app|comport/AdPort.h"
  "app|dispatcher/AwConst.h"
  "app|errors/AdExcept.h"
  "app|platform/SerialDevice.h"
  "service|app/Unit1.h"
  "service|comport/AdPort.h"
  "service|platform/SerialDevice.h")
set(_zk_allowed "comport|Allowed.cpp" "controller|AllowedController.cpp" "app|AllowedApp.cpp")

# A probe sees what the library's own files see.
function(_zk_probe target lib source)
  add_library(${target} OBJECT EXCLUDE_FROM_ALL ${source})
  target_include_directories(${target} PRIVATE $<TARGET_PROPERTY:${lib},INCLUDE_DIRECTORIES>)
  target_compile_definitions(${target} PRIVATE $<TARGET_PROPERTY:${lib},COMPILE_DEFINITIONS>)
  target_link_libraries(${target} PRIVATE ${lib} $<TARGET_PROPERTY:${lib},LINK_LIBRARIES>)
endfunction()

set(_zk_probe_targets "")
set(_zk_probe_headers "")
set(_i 0)
foreach(p ${_zk_probes})
  string(REPLACE "|" ";" p "${p}")
  list(GET p 0 lib)
  list(GET p 1 header)
  if(NOT TARGET ${lib})
    continue()
  endif()
  set(t layering_probe_${_i})
  _zk_probe(${t} ${lib} ${ZK_TEST_DIR}/probes/Forbidden.cpp)
  target_compile_definitions(${t} PRIVATE "ZK_PROBE_HEADER=\"${header}\"")
  list(APPEND _zk_probe_targets ${t})
  list(APPEND _zk_probe_headers "${lib}:${header}")
  math(EXPR _i "${_i} + 1")
endforeach()
set(_zk_allowed_targets "")
foreach(p ${_zk_allowed})
  string(REPLACE "|" ";" p "${p}")
  list(GET p 0 lib)
  list(GET p 1 file)
  if(TARGET ${lib})
    _zk_probe(layering_allowed_${lib} ${lib} ${ZK_TEST_DIR}/probes/${file})
    list(APPEND _zk_allowed_targets layering_allowed_${lib})
  endif()
endforeach()
if(TARGET comport)
  add_test(NAME layering_tests
    COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR} "-DALLOWED=${_zk_allowed_targets}"
            "-DTARGETS=${_zk_probe_targets}" "-DHEADERS=${_zk_probe_headers}" -P ${ZK_TEST_DIR}/probes/CheckLayering.cmake)
  # It runs the build tool in this build tree: never beside another test
  # that does (the package test's cpack builds the tree's preinstall step).
  set_tests_properties(layering_tests PROPERTIES LABELS layering TIMEOUT 600 RESOURCE_LOCK zk_build_tool COST 16)
endif()
