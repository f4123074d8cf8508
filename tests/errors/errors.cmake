zk_test(errors_table_tests LABEL errors SOURCES ${ZK_TEST_DIR}/MessageTableTest.cpp LIBS errors)
zk_test(errors_checkresult_tests LABEL errors SOURCES ${ZK_TEST_DIR}/CheckResultTest.cpp LIBS errors)
