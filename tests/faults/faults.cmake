# The fault suite: the whole program and its layers under hang-ups, damaged
# input and long runs. Sanitizer builds get wider time limits and fewer cycles.
set(_zk_faults_defs "")
if(ZK_SANITIZE STREQUAL "thread" OR ZK_SANITIZE STREQUAL "address")
  list(APPEND _zk_faults_defs ZK_FAULTS_SLOW)
endif()
if(ZK_SANITIZE STREQUAL "thread")
  list(APPEND _zk_faults_defs ZK_FAULTS_TSAN)
endif()

zk_test(faults_window_tests LABEL "faults;app"
  SOURCES ${ZK_TEST_DIR}/HangUpTest.cpp ${ZK_TEST_DIR}/StartTest.cpp ${ZK_TEST_DIR}/DamagedFilesTest.cpp
          ${ZK_TEST_DIR}/ExitTest.cpp
  LIBS app rotorsim Qt6::Test util TIMEOUT 300)
target_compile_definitions(faults_window_tests PRIVATE ${_zk_faults_defs})

zk_test(faults_window_streams_tests LABEL "faults;app"
  SOURCES ${ZK_TEST_DIR}/StreamTest.cpp
  LIBS app rotorsim Qt6::Test util TIMEOUT 300)
target_compile_definitions(faults_window_streams_tests PRIVATE ${_zk_faults_defs})

zk_test(faults_port_tests LABEL "faults;comport"
  SOURCES ${ZK_TEST_DIR}/PortFaultsTest.cpp
  LIBS comport util TIMEOUT 300)
target_compile_definitions(faults_port_tests PRIVATE ${_zk_faults_defs})

zk_test(faults_reconnect_tests LABEL faults app
  SOURCES ${ZK_TEST_DIR}/ReconnectTest.cpp
  LIBS app rotorsim Qt6::Test util TIMEOUT 300)
target_compile_definitions(faults_reconnect_tests PRIVATE ${_zk_faults_defs})

zk_test(faults_stall_tests LABEL faults app
  SOURCES ${ZK_TEST_DIR}/StallTest.cpp
  LIBS app rotorsim Qt6::Test util TIMEOUT 300)
target_compile_definitions(faults_stall_tests PRIVATE ${_zk_faults_defs})
