zk_test(numedit_tests LABEL numedit
  SOURCES ${ZK_TEST_DIR}/FormatValueTest.cpp ${ZK_TEST_DIR}/EditingTest.cpp
          ${ZK_TEST_DIR}/FieldTest.cpp ${ZK_TEST_DIR}/RandomKeysTest.cpp
  LIBS numedit Qt6::Test test_leak_suppressions)
