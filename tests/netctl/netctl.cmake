zk_test(netctl_tests LABEL netctl
  SOURCES ${ZK_TEST_DIR}/ProtocolTest.cpp ${ZK_TEST_DIR}/LineReaderTest.cpp ${ZK_TEST_DIR}/SessionTest.cpp
  LIBS netctl)
