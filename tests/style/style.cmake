# Every C and C++ file keeps the tree's style (.clang-format).
add_test(NAME format_check COMMAND ${PROJECT_SOURCE_DIR}/scripts/format.sh --check)
set_tests_properties(format_check PROPERTIES LABELS "unit;style")
