zk_test(app_logic_tests LABEL app
  SOURCES ${ZK_TEST_DIR}/LogicTest.cpp ${ZK_TEST_DIR}/FilesTest.cpp ${ZK_TEST_DIR}/ShownTextsTest.cpp
  LIBS app)
zk_test(app_window_tests LABEL app
  SOURCES ${ZK_TEST_DIR}/WindowTest.cpp ${ZK_TEST_DIR}/ReportTest.cpp ${ZK_TEST_DIR}/DataFilesWindowTest.cpp
  LIBS app rotorsim Qt6::Test util
  TIMEOUT 600)
