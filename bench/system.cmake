# The whole system against bare limits: poll exchange, receive rate, idle CPU
# and the running window's memory (against a bare Qt window).
if(TARGET app)
  add_executable(bench-bare-window ${CMAKE_CURRENT_SOURCE_DIR}/BareWindow.cpp)
  target_link_libraries(bench-bare-window PRIVATE Qt6::Widgets)

  add_executable(bench_system ${CMAKE_CURRENT_SOURCE_DIR}/SystemBench.cpp)
  target_link_libraries(bench_system PRIVATE app rotorsim util test_support benchmark::benchmark)
  target_compile_definitions(bench_system PRIVATE
    ZK_PROGRAM="$<TARGET_FILE:zelkor>"
    ZK_BARE_WINDOW="$<TARGET_FILE:bench-bare-window>"
    ZK_DATA="${PROJECT_SOURCE_DIR}/data")
  add_dependencies(bench_system zelkor bench-bare-window)
endif()
