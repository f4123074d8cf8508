zk_test(platform_device_tests LABEL platform SOURCES ${ZK_TEST_DIR}/SerialDeviceTest.cpp LIBS platform TIMEOUT 120)
zk_test(platform_nodes_tests LABEL platform SOURCES ${ZK_TEST_DIR}/SerialNodesTest.cpp LIBS platform)
