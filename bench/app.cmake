# A report paced by a 9600-baud line, from its last byte to the window's label.
if(TARGET app)
  add_executable(bench_report ${CMAKE_CURRENT_SOURCE_DIR}/ReportLatencyBench.cpp)
  target_link_libraries(bench_report PRIVATE app rotorsim test_support)
  target_compile_definitions(bench_report PRIVATE ZK_DATA="${PROJECT_SOURCE_DIR}/data")
endif()
