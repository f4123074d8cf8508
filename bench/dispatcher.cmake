add_executable(bench_dispatcher ${CMAKE_CURRENT_SOURCE_DIR}/DispatcherBench.cpp)
target_link_libraries(bench_dispatcher PRIVATE dispatcher test_support benchmark::benchmark)
