# The Options and Help dialogs, driven as real widgets on the offscreen
# platform, alone and from the main window's buttons.
parcelo_add_test(NAME dialogs_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/../GuiTestMain.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ModalDriver.h
    ${CMAKE_CURRENT_LIST_DIR}/HelpDialogTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/OptionsDialogTest.cpp
  LIBS parcelo_app parcelo_testsupport Qt6::Test
  LABELS gui)
# One case checks the read-me the build puts beside the program.
add_dependencies(dialogs_tests parcelo_readme)
