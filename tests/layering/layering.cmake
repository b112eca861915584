# The layering rule: includes point only downward, and Qt stays in the
# layers allowed to use it. The second test runs the check on a small tree
# of violations, so a check that stopped finding anything would fail too.
add_test(NAME layering_check COMMAND ${CMAKE_CURRENT_LIST_DIR}/check-layering.sh ${PROJECT_SOURCE_DIR})
add_test(NAME layering_check_refuses_violations
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/check-layering.sh ${CMAKE_CURRENT_LIST_DIR}/upward)
set_tests_properties(layering_check layering_check_refuses_violations PROPERTIES LABELS "unit;layering")
set_tests_properties(layering_check_refuses_violations PROPERTIES
  PASS_REGULAR_EXPRESSION "GlueOutside.cpp:2:.*GlueOutside.cpp:3:.*UpwardInclude.cpp:2:.*QtBelow.cpp:2:.*Sideways.cpp:2:.*QtInUpload.cpp:2:.*WidgetInSettings.cpp:2:.*WidgetInSettings.cpp:3:.*WidgetInSettings.cpp:4:"
  # Qt Core's text type is allowed there.
  FAIL_REGULAR_EXPRESSION "WidgetInSettings.cpp:5:")
