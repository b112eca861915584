# regset: writes values into the settings store through the store's own
# code; the demo prepares its profile with it.
add_executable(regset ${CMAKE_CURRENT_LIST_DIR}/regset.cpp)
target_link_libraries(regset PRIVATE parcelo_platform)
