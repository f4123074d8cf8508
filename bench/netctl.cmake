# Network control: reply latency of "p" with 1 and 20 polling clients against
# a bare Qt server, and the time from "P" on the socket to the move's first
# byte at the simulated unit against the 200 ms of quiet a move waits.
if(TARGET app)
  add_executable(bench_netctl ${CMAKE_CURRENT_SOURCE_DIR}/NetControlBench.cpp)
  target_link_libraries(bench_netctl PRIVATE app rotorsim util Qt6::Network test_support)
  target_compile_definitions(bench_netctl PRIVATE ZK_DATA="${PROJECT_SOURCE_DIR}/data")
endif()
