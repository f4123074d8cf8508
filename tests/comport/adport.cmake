zk_test(comport_adport_tests LABEL comport SOURCES ${ZK_TEST_DIR}/AdPortTest.cpp LIBS comport TIMEOUT 240)
zk_test(comport_oomisc_tests LABEL comport SOURCES ${ZK_TEST_DIR}/OoMiscTest.cpp LIBS comport TIMEOUT 120)
