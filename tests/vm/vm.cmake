# The stage on the kernel's real serial drivers: a small virtual machine
# (run-vm.sh) runs vm_guest_tests against an emulated 16550 UART and an
# emulated USB serial adapter. Only in the plain build: under a sanitizer
# the emulated machine would be too slow to say anything about timing.
if(ZK_SANITIZE STREQUAL "none")
  add_executable(vm_guest_tests ${ZK_TEST_DIR}/RealDriverTest.cpp)
  target_link_libraries(vm_guest_tests PRIVATE app Qt6::Test util test_support GTest::gtest GTest::gtest_main
                                               Threads::Threads)
  target_include_directories(vm_guest_tests PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(vm_guest_tests PRIVATE ${_zk_test_flags})
  if(ZK_PCH)
    target_precompile_headers(vm_guest_tests REUSE_FROM zk_test_pch_qt)
  endif()
  add_test(NAME vm_real_drivers
           COMMAND ${ZK_TEST_DIR}/run-vm.sh $<TARGET_FILE:vm_guest_tests> $<TARGET_FILE:rotorsim_program>
                   ${PROJECT_SOURCE_DIR}/data)
  # Started first and counted as two tests: the emulation needs a processor
  # of its own, while the tests beside it mostly wait.
  set_tests_properties(vm_real_drivers PROPERTIES LABELS vm TIMEOUT 300 SKIP_RETURN_CODE 77 COST 100000 PROCESSORS 2)
endif()
