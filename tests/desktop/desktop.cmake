# The end of a job on the desktop: web links in the clipboard (also read by
# xclip under Xvfb), the whole job's progress, the desktop notification
# against a mock notification service. The program runs on a session bus
# of its own (PrivateBusMain.cpp), never the user's.
parcelo_add_test(NAME desktop_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/PrivateBusMain.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PrivateBus.h
    ${CMAKE_CURRENT_LIST_DIR}/DesktopLinksTest.cpp
  LIBS parcelo_app parcelo_testsupport Qt6::Test Qt6::DBus
  LABELS gui integration)
parcelo_test_cases(desktop_tests LABELS unit CASES JobProgressText)
