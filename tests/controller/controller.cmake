zk_test(controller_tests LABEL controller
  SOURCES ${ZK_TEST_DIR}/ControllerTest.cpp ${ZK_TEST_DIR}/ConfigFileTest.cpp ${ZK_TEST_DIR}/ExtraSettingsTest.cpp
  LIBS controller rotorsim util
  TIMEOUT 300 SHARDS 4
  APART pass_1=Passes/TrackerPass.*/0 pass_2=Passes/TrackerPass.*/1 COST 30)
zk_test(controller_reply_tests LABEL controller SOURCES ${ZK_TEST_DIR}/ReplyReaderTest.cpp LIBS controller)
