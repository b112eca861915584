# Tests of the password scrambler, the registry store and the settings load
# and save.
parcelo_add_test(NAME settings_encode_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/EncodeTest.cpp
  LIBS parcelo_settings GTest::gtest_main
  LABELS unit)

# Writes a batch of profiles into the store; the concurrency test runs two.
add_executable(parcelo_registry_writer ${CMAKE_CURRENT_LIST_DIR}/RegistryWriter.cpp)
target_include_directories(parcelo_registry_writer PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(parcelo_registry_writer PRIVATE parcelo_platform)

parcelo_add_test(NAME settings_registry_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/RegistryTest.cpp
  LIBS parcelo_platform SQLite::SQLite3 GTest::gtest_main
  LABELS unit)
target_compile_definitions(settings_registry_test PRIVATE
  REGISTRY_WRITER="$<TARGET_FILE:parcelo_registry_writer>"
  PARCELO_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
add_dependencies(settings_registry_test parcelo_registry_writer)

parcelo_add_test(NAME settings_window_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/SettingsWindowTest.cpp
  LIBS parcelo_app parcelo_testsupport SQLite::SQLite3
  LABELS gui)
