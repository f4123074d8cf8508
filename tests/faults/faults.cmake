# The fault suite: the whole program and its layers under hang-ups, damaged
# input and long runs. Sanitizer builds get wider time limits and fewer
# cycles, the thread sanitizer's fewest.

zk_test(faults_window_tests LABEL "faults;app"
  SOURCES ${ZK_TEST_DIR}/HangUpTest.cpp ${ZK_TEST_DIR}/StartTest.cpp ${ZK_TEST_DIR}/DamagedFilesTest.cpp
          ${ZK_TEST_DIR}/ExitTest.cpp
  LIBS app rotorsim Qt6::Test util TIMEOUT 300)

# The flood alone takes a minute on an idle machine and three on a busy one.
zk_test(faults_window_streams_tests LABEL "faults;app"
  SOURCES ${ZK_TEST_DIR}/StreamTest.cpp
  LIBS app rotorsim Qt6::Test util TIMEOUT 600 COST 23)

zk_test(faults_port_tests LABEL "faults;comport"
  SOURCES ${ZK_TEST_DIR}/PortFaultsTest.cpp
  LIBS comport util TIMEOUT 300 SHARDS 2 COST 25)
if(ZK_SANITIZE STREQUAL "thread")
  target_compile_definitions(faults_port_tests PRIVATE ZK_FAULTS_TSAN)
endif()

zk_test(faults_reconnect_tests LABEL faults app
  SOURCES ${ZK_TEST_DIR}/ReconnectTest.cpp
  LIBS app rotorsim Qt6::Test util TIMEOUT 300 SHARDS 2)

zk_test(faults_stall_tests LABEL faults app
  SOURCES ${ZK_TEST_DIR}/StallTest.cpp
  LIBS app rotorsim Qt6::Test util TIMEOUT 300 SHARDS 2 COST 20)
