add_executable(bench_trace ${CMAKE_CURRENT_SOURCE_DIR}/TraceBench.cpp)
target_link_libraries(bench_trace PRIVATE dispatcher test_support benchmark::benchmark)
