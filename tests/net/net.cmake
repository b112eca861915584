# The socket component against real sockets on 127.0.0.1.
parcelo_add_test(NAME net_wsocket_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/WSocketTest.cpp
          ${CMAKE_CURRENT_LIST_DIR}/WSocketSendTest.cpp
          ${CMAKE_CURRENT_LIST_DIR}/WSocketResolveTest.cpp
          ${CMAKE_CURRENT_LIST_DIR}/WSocketIPv6Test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/WSocketLayersTest.cpp
          ${CMAKE_CURRENT_LIST_DIR}/WSocketTlsTest.cpp
          ${CMAKE_CURRENT_LIST_DIR}/PosixPeer.cpp
          ${CMAKE_CURRENT_LIST_DIR}/TlsPeer.cpp
  LIBS parcelo_net parcelo_platform GTest::gtest_main
  LABELS unit)

# The same socket inside a running Qt application (offscreen).
parcelo_add_test(NAME net_qt_loop_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/QtLoopTest.cpp
          ${CMAKE_CURRENT_LIST_DIR}/PosixPeer.cpp
  LIBS parcelo_net parcelo_platform_qt Qt6::Widgets
  LABELS unit)
