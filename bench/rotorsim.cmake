add_executable(bench_rotorsim ${CMAKE_CURRENT_SOURCE_DIR}/RotorSimBench.cpp)
target_link_libraries(bench_rotorsim PRIVATE rotorsim benchmark::benchmark)
