zk_test(runtime_tests LABEL runtime SOURCES ${ZK_TEST_DIR}/SysUtilsTest.cpp LIBS runtime)
