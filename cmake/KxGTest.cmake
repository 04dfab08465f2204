# Registers a GoogleTest binary with ctest.
#   kx_add_gtests(<target> TIMEOUT <seconds>)
# Natively every test case is its own ctest test (gtest_discover_tests), so tests that would share a
# file, a port or a window run at the same time and show it. Under the sanitizers a process costs
# half a second before the first test runs (shadow memory, relocations, the leak scan of every
# global at exit), more than most tests themselves: with KX_TEST_PER_SUITE each test suite is one
# ctest test ("Suite.*"), which runs the same cases in a fifth of the processes.
include(GoogleTest)
set(KX_GTEST_SUITES_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/KxGTestSuites.cmake)

function(kx_add_gtests target)
  cmake_parse_arguments(ARG "" "TIMEOUT" "" ${ARGN})
  if(NOT KX_TEST_PER_SUITE)
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT ${ARG_TIMEOUT})
    return()
  endif()
  # One suite runs all its cases in turn: give it the time of several cases.
  math(EXPR suite_timeout "${ARG_TIMEOUT} * 3")
  set(include_file ${CMAKE_CURRENT_BINARY_DIR}/${target}_suites.cmake)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -D TEST_EXECUTABLE=$<TARGET_FILE:${target}>
            -D TEST_WORKING_DIR=${CMAKE_CURRENT_BINARY_DIR} -D TEST_TIMEOUT=${suite_timeout}
            -D OUTPUT_FILE=${include_file} -P ${KX_GTEST_SUITES_SCRIPT}
    BYPRODUCTS ${include_file} VERBATIM)
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${include_file})
endfunction()
