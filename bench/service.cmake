# The service beside the window: memory, CPU on an idle polled port, and its
# reply time to a network client.
if(TARGET zelkord AND TARGET zelkor)
  add_executable(bench_service ${CMAKE_CURRENT_SOURCE_DIR}/ServiceBench.cpp)
  target_link_libraries(bench_service PRIVATE rotorsim)
  target_compile_definitions(bench_service PRIVATE
    ZK_SERVICE="$<TARGET_FILE:zelkord>" ZK_PROGRAM="$<TARGET_FILE:zelkor>" ZK_DATA="${PROJECT_SOURCE_DIR}/data")
  add_dependencies(bench_service zelkord zelkor)
endif()
