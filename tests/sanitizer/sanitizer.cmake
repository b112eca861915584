# The leak checker's suppressions hide no leak of ours: a small Qt program
# drops an allocation from a timer's handler and the test reads the report
# (in a build without the sanitizers the test skips).
add_executable(parcelo_leak_probe ${CMAKE_CURRENT_LIST_DIR}/LeakProbe.cpp)
target_link_libraries(parcelo_leak_probe PRIVATE Qt6::Widgets)

parcelo_add_test(NAME lsan_probe_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/LsanProbeTest.cpp
  LIBS parcelo_testsupport GTest::gtest_main
  LABELS unit)
target_compile_definitions(lsan_probe_test PRIVATE LEAK_PROBE="$<TARGET_FILE:parcelo_leak_probe>")
add_dependencies(lsan_probe_test parcelo_leak_probe)
