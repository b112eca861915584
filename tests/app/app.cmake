# The main window, its file list and the entry point, driven as real
# widgets on the offscreen platform.
parcelo_add_test(NAME app_window_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/../GuiTestMain.cpp
    ${CMAKE_CURRENT_LIST_DIR}/AppFixture.h
    ${CMAKE_CURRENT_LIST_DIR}/FileListTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/MainWindowTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/StartupTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/QtDialogsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/DesktopWindowTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/LocalPeer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/LocalPeer.h
  LIBS parcelo_app parcelo_testsupport Qt6::Test
  LABELS gui)
parcelo_test_cases(app_window_tests LABELS unit
  CASES ExtensionRule DateText InOutErrorText CommandLineArgs UriList HandOverMessage)
# The hand-over tests start the program itself.
target_compile_definitions(app_window_tests PRIVATE PARCELO_PATH="$<TARGET_FILE:parcelo>")
add_dependencies(app_window_tests parcelo)
