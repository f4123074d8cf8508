add_executable(bench_errors ${CMAKE_CURRENT_SOURCE_DIR}/MessageForCodeBench.cpp)
target_link_libraries(bench_errors PRIVATE errors benchmark::benchmark)
