parcelo_add_test(NAME platform_messages_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/MessagesTest.cpp
  LIBS parcelo_platform GTest::gtest_main
  LABELS unit)
