# Run after a GoogleTest binary is built (cmake -P): lists its test suites and writes one ctest
# test per suite ("Suite.*", the binary run with --gtest_filter=Suite.*) into OUTPUT_FILE.
# Inputs: TEST_EXECUTABLE, TEST_WORKING_DIR, TEST_TIMEOUT, OUTPUT_FILE.
execute_process(COMMAND ${TEST_EXECUTABLE} --gtest_list_tests
                WORKING_DIRECTORY ${TEST_WORKING_DIR} OUTPUT_VARIABLE listing
                RESULT_VARIABLE rc TIMEOUT 60)
if(NOT rc EQUAL 0)
  file(REMOVE ${OUTPUT_FILE})
  message(FATAL_ERROR "${TEST_EXECUTABLE} --gtest_list_tests failed (${rc}):\n${listing}")
endif()
string(REPLACE "\n" ";" lines "${listing}")
set(script "")
foreach(line IN LISTS lines)
  # Suite lines start in column 0 and end in a dot ("Suite." or "Prefix/Suite.  # TypeParam = ...");
  # test lines are indented.
  if(line MATCHES "^([^ #][^ ]*)\\.")
    set(suite ${CMAKE_MATCH_1})
    string(APPEND script
      "add_test([==[${suite}.*]==] [==[${TEST_EXECUTABLE}]==] [==[--gtest_filter=${suite}.*]==])\n"
      "set_tests_properties([==[${suite}.*]==] PROPERTIES WORKING_DIRECTORY [==[${TEST_WORKING_DIR}]==]"
      " TIMEOUT ${TEST_TIMEOUT})\n")
  endif()
endforeach()
file(WRITE ${OUTPUT_FILE} "${script}")
