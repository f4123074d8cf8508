zk_test(controller_reply_tests LABEL controller SOURCES ${ZK_TEST_DIR}/ReplyReaderTest.cpp LIBS controller)
