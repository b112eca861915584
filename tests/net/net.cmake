parcelo_add_test(NAME net_wsocket_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/WSocketTest.cpp
  LIBS parcelo_net parcelo_platform GTest::gtest_main
  LABELS unit)
