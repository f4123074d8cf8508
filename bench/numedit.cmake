if(TARGET numedit)
  add_executable(bench_numedit ${CMAKE_CURRENT_SOURCE_DIR}/NumEditBench.cpp)
  target_link_libraries(bench_numedit PRIVATE numedit benchmark::benchmark)
endif()
