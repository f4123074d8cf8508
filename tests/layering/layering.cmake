# Includes against the layering must not build. Each probe is compiled as a
# part of one library; the check builds it and wants the compiler to say the
# header is not there (an allowed probe must build, so a broken check shows).
# The probes are not built by default.
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
  "comport|controller/ReplyReader.h"
  "controller|app/Unit1.h"
  "comport|netctl/Protocol.h")
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
  add_library(${t} OBJECT EXCLUDE_FROM_ALL ${ZK_TEST_DIR}/probes/Forbidden.cpp)
  target_link_libraries(${t} PRIVATE ${lib})
  target_compile_definitions(${t} PRIVATE "ZK_PROBE_HEADER=\"${header}\"")
  list(APPEND _zk_probe_targets ${t})
  list(APPEND _zk_probe_headers "${lib}:${header}")
  math(EXPR _i "${_i} + 1")
endforeach()
if(TARGET comport)
  add_library(layering_probe_allowed OBJECT EXCLUDE_FROM_ALL ${ZK_TEST_DIR}/probes/Allowed.cpp)
  target_link_libraries(layering_probe_allowed PRIVATE comport)
  add_test(NAME layering_tests
    COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR} "-DTARGETS=${_zk_probe_targets}"
            "-DHEADERS=${_zk_probe_headers}" -P ${ZK_TEST_DIR}/probes/CheckLayering.cmake)
  # It runs the build tool in this build tree: never beside another test that might.
  set_tests_properties(layering_tests PROPERTIES LABELS layering TIMEOUT 600 RUN_SERIAL TRUE)
endif()
