zk_test(dispatcher_core_tests LABEL dispatcher
  SOURCES ${ZK_TEST_DIR}/DispatcherCoreTest.cpp
  LIBS dispatcher TIMEOUT 300 COST 30)
zk_test(dispatcher_notify_tests LABEL dispatcher
  SOURCES ${ZK_TEST_DIR}/NotifyTest.cpp
  LIBS dispatcher TIMEOUT 120)
zk_test(dispatcher_line_tests LABEL dispatcher
  SOURCES ${ZK_TEST_DIR}/LineAndQueueTest.cpp
  LIBS dispatcher TIMEOUT 300)
