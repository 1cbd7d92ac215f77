# Included by ctest (TEST_INCLUDE_FILES) for one QtTest program: asks the program for its test
# functions (-functions) and adds one test per function, "<prefix>.<function>", so a failure
# names its function and functions run in parallel. Set before including:
#   QTEST_EXE, QTEST_PREFIX, QTEST_TIMEOUT, QTEST_ENV (a list of NAME=VALUE), QTEST_CMAKE (ctest
#   knows no CMAKE_COMMAND)
if(NOT EXISTS "${QTEST_EXE}")
  add_test("${QTEST_PREFIX}.NOT_BUILT" "${QTEST_EXE}")
  return()
endif()
execute_process(COMMAND ${QTEST_CMAKE} -E env ${QTEST_ENV} "${QTEST_EXE}" -functions
  OUTPUT_VARIABLE listing ERROR_VARIABLE errors RESULT_VARIABLE status TIMEOUT 60)
string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_]*\\(\\)" functions "${listing}")
if(NOT status EQUAL 0 OR NOT functions)
  # A test that fails, with the program's own words, instead of silently running nothing.
  add_test("${QTEST_PREFIX}.NOT_LISTED" "${QTEST_CMAKE}" -E echo
    "${QTEST_EXE} -functions failed (${status}): ${errors}")
  set_tests_properties("${QTEST_PREFIX}.NOT_LISTED" PROPERTIES WILL_FAIL TRUE)
  return()
endif()
foreach(function IN LISTS functions)
  string(REPLACE "()" "" function "${function}")
  add_test("${QTEST_PREFIX}.${function}" "${QTEST_EXE}" "${function}")
  set_tests_properties("${QTEST_PREFIX}.${function}" PROPERTIES TIMEOUT "${QTEST_TIMEOUT}"
    ENVIRONMENT "${QTEST_ENV}")
endforeach()
