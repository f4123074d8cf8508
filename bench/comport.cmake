if(TARGET comport)
  add_executable(bench_comport ${CMAKE_CURRENT_SOURCE_DIR}/ComPortBench.cpp)
  target_link_libraries(bench_comport PRIVATE comport test_support benchmark::benchmark)
endif()
