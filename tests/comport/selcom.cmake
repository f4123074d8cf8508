zk_test(selcom_test LABEL comport
  SOURCES ${ZK_TEST_DIR}/selcom_test.cpp
  LIBS portdialog)
