zk_test(platform_errors_tests LABEL platform SOURCES ${ZK_TEST_DIR}/PlatformErrorsTest.cpp LIBS platform)
