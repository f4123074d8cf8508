zk_test(controller_tests LABEL controller
  SOURCES ${ZK_TEST_DIR}/ControllerTest.cpp ${ZK_TEST_DIR}/ConfigFileTest.cpp ${ZK_TEST_DIR}/ExtraSettingsTest.cpp
  LIBS controller rotorsim util
  TIMEOUT 300)
