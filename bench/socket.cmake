# Throughput of the socket component against plain blocking senders.
add_executable(socket_bench
  ${CMAKE_CURRENT_LIST_DIR}/socket_bench.cpp
  ${CMAKE_CURRENT_LIST_DIR}/socket_bench_plain.cpp
  ${CMAKE_CURRENT_LIST_DIR}/socket_bench_plain.h)
target_include_directories(socket_bench PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(socket_bench PRIVATE parcelo_net parcelo_platform Threads::Threads)
