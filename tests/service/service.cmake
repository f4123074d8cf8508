find_program(ZK_ROTCTL rotctl)
if(NOT ZK_ROTCTL)
  set(ZK_ROTCTL rotctl) # scripts/packages.sh installs it; the test says so if missing
endif()
zk_test(service_tests LABEL service
  SOURCES ${ZK_TEST_DIR}/ServiceTest.cpp
  LIBS rotorsim util
  TIMEOUT 600 COST 27)
target_compile_definitions(service_tests PRIVATE ZK_ROTCTL="${ZK_ROTCTL}" ZK_ZELKORD="$<TARGET_FILE:zelkord>")
add_dependencies(service_tests zelkord)
