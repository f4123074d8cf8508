zk_test(platform_messages_tests LABEL platform SOURCES ${ZK_TEST_DIR}/MessagesTest.cpp LIBS platform TIMEOUT 120)
