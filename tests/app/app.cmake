zk_test(app_logic_tests LABEL app
  SOURCES ${ZK_TEST_DIR}/LogicTest.cpp ${ZK_TEST_DIR}/FilesTest.cpp
  LIBS app)
zk_test(app_window_tests LABEL app
  SOURCES ${ZK_TEST_DIR}/WindowTest.cpp ${ZK_TEST_DIR}/ReportTest.cpp
  LIBS app rotorsim Qt6::Test util
  TIMEOUT 600)
zk_test(app_line_tests LABEL app
  SOURCES ${ZK_TEST_DIR}/LineDeliveryTest.cpp
  LIBS app rotorsim Qt6::Test util
  TIMEOUT 600)
if(NOT ZK_SANITIZE STREQUAL "none")
  target_compile_definitions(app_line_tests PRIVATE ZK_SLOW_BUILD)
endif()
