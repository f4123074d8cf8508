zk_test(platform_device_tests LABEL platform SOURCES ${ZK_TEST_DIR}/SerialDeviceTest.cpp LIBS platform TIMEOUT 120)
