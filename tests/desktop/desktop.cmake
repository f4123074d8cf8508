# The installation and the Debian package, made from this build.
set(_zk_desktop_defs ZK_CMAKE_COMMAND="${CMAKE_COMMAND}" ZK_CPACK_COMMAND="${CMAKE_CPACK_COMMAND}"
    ZK_BUILD_DIR="${PROJECT_BINARY_DIR}" ZK_SOURCE_DIR="${PROJECT_SOURCE_DIR}" ZK_VERSION="${PROJECT_VERSION}")

zk_test(desktop_install_tests LABEL desktop
  SOURCES ${ZK_TEST_DIR}/InstallTest.cpp
  TIMEOUT 300)
target_compile_definitions(desktop_install_tests PRIVATE ${_zk_desktop_defs})
add_dependencies(desktop_install_tests zelkor zelkord rotorsim_program zelkor_docs)

zk_test(desktop_package_tests LABEL desktop
  SOURCES ${ZK_TEST_DIR}/PackageTest.cpp
  TIMEOUT 600 COST 25)
target_compile_definitions(desktop_package_tests PRIVATE ${_zk_desktop_defs})
add_dependencies(desktop_package_tests zelkor zelkord rotorsim_program zelkor_docs)
# cpack builds the tree's preinstall step: not beside the layering check's builds.
set_tests_properties(desktop_package_tests PROPERTIES RESOURCE_LOCK zk_build_tool)
