zk_test(trace_format_test LABEL dispatcher
  SOURCES ${ZK_TEST_DIR}/trace_format_test.cpp
  LIBS dispatcher)
target_compile_definitions(trace_format_test PRIVATE ZK_GOLDEN_DIR="${ZK_TEST_DIR}/golden")

zk_test(trace_recorder_test LABEL dispatcher
  SOURCES ${ZK_TEST_DIR}/trace_recorder_test.cpp
  LIBS dispatcher)
target_compile_definitions(trace_recorder_test PRIVATE ZK_GOLDEN_DIR="${ZK_TEST_DIR}/golden")
