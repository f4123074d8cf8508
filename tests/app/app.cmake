zk_test(app_logic_tests LABEL app
  SOURCES ${ZK_TEST_DIR}/LogicTest.cpp ${ZK_TEST_DIR}/FilesTest.cpp ${ZK_TEST_DIR}/OptionsTest.cpp
          ${ZK_TEST_DIR}/ShownTextsTest.cpp ${ZK_TEST_DIR}/PortHintsTest.cpp
  LIBS app)
zk_test(app_window_tests LABEL app
  SOURCES ${ZK_TEST_DIR}/WindowTest.cpp ${ZK_TEST_DIR}/ReportTest.cpp ${ZK_TEST_DIR}/DataFilesWindowTest.cpp
          ${ZK_TEST_DIR}/AxesViewTest.cpp
  LIBS app rotorsim Qt6::Test util
  TIMEOUT 600 COST 32)
zk_test(app_line_tests LABEL app
  SOURCES ${ZK_TEST_DIR}/LineDeliveryTest.cpp
  LIBS app rotorsim Qt6::Test util
  TIMEOUT 600 SHARDS 2 COST 15)
find_program(ZK_ROTCTL rotctl)
if(NOT ZK_ROTCTL)
  set(ZK_ROTCTL rotctl) # scripts/packages.sh installs it; the test says so if missing
endif()
zk_test(app_netctl_tests LABEL app
  SOURCES ${ZK_TEST_DIR}/NetControlTest.cpp
  LIBS app rotorsim Qt6::Network util
  TIMEOUT 600 COST 20)
target_compile_definitions(app_netctl_tests PRIVATE ZK_ROTCTL="${ZK_ROTCTL}" ZK_PROGRAM="$<TARGET_FILE:zelkor>")
add_dependencies(app_netctl_tests zelkor)
# Texts against the fonts on a real X server (the test starts its own Xvfb),
# at 96 dpi and once more at twice the scale.
zk_test(app_fit_tests LABEL app
  SOURCES ${ZK_TEST_DIR}/FitTest.cpp
  LIBS app Qt6::Test util
  TIMEOUT 600)
add_test(NAME app_fit_tests_scale2 COMMAND app_fit_tests)
set_tests_properties(app_fit_tests_scale2 PROPERTIES LABELS app TIMEOUT 600
  ENVIRONMENT "QT_QPA_PLATFORM=offscreen;ZK_DATA_DIR=${PROJECT_SOURCE_DIR}/data;QT_SCALE_FACTOR=2")
zk_test(app_dialect_tests LABEL app
  SOURCES ${ZK_TEST_DIR}/DialectTest.cpp
  LIBS app rotorsim Qt6::Test util
  TIMEOUT 600 SHARDS 3 COST 20)
zk_test(app_portchoice_tests LABEL app
  SOURCES ${ZK_TEST_DIR}/PortChoiceTest.cpp
  LIBS app rotorsim Qt6::Test util
  TIMEOUT 300)
