# The remote directory picker: its parsing and file rules, and the real
# window listing a real pyftpdlib server on 127.0.0.1.
parcelo_add_test(NAME picker_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/../GuiTestMain.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PickerRulesTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PickerServerTest.cpp
  LIBS parcelo_app parcelo_testsupport Qt6::Test
  LABELS gui real-server)
parcelo_test_cases(picker_tests LABELS unit CASES PickerRules ListingFile)
