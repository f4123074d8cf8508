zk_test(platform_serialports_tests LABEL platform SOURCES ${ZK_TEST_DIR}/SerialPortsTest.cpp LIBS platform)
