# Tests that run one case of a Python scenario script (tests/e2e/run.py, tests/check/
# check_cases.py), each case a test of its own. Included from tests/CMakeLists.txt.

# The cases `script` lists, into `var`; the build is configured again when the script changes.
function(okv_script_cases var script)
  execute_process(COMMAND ${Python3_EXECUTABLE} ${script} --list
                  OUTPUT_VARIABLE cases RESULT_VARIABLE listed)
  if(NOT listed EQUAL 0)
    message(FATAL_ERROR "${script} --list failed (${listed})")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${script})
  string(REGEX MATCHALL "[a-z0-9_]+" cases "${cases}")
  set(${var} ${cases} PARENT_SCOPE)
endfunction()

# okv_wine_script_test(TEST SCRIPT CASE NOENTRY_DIR DIR LABELS LABELS TIMEOUT SECONDS
#                      [WRAPPER_ARGS ...] [SCRIPT_ARGS ...])
# The case under Wine through tests/wine/e2e_wine.sh, in the end-to-end prefix
# (OKV_E2E_WINE_PREFIX, unless OKV_E2E_WINE_UNAVAILABLE says why Wine cannot run it here).
function(okv_wine_script_test test script case)
  cmake_parse_arguments(arg "" "NOENTRY_DIR;LABELS;TIMEOUT" "WRAPPER_ARGS;SCRIPT_ARGS" ${ARGN})
  add_test(NAME ${test}
           COMMAND bash ${CMAKE_SOURCE_DIR}/tests/wine/e2e_wine.sh ${arg_WRAPPER_ARGS}
                   --script ${script}
                   --unavailable "${OKV_E2E_WINE_UNAVAILABLE}"
                   --prefix ${OKV_E2E_WINE_PREFIX}
                   --wine ${OKV_WINE}
                   --bridge $<TARGET_FILE:okvbridge>
                   --libdir $<TARGET_FILE_DIR:kolt8sim>
                   --noentry-dir ${arg_NOENTRY_DIR}
                   --tools ${OKV_HOST_TOOLS_DIR}
                   ${case} -- ${arg_SCRIPT_ARGS})
  # One prefix, one COM4: the cases take turns.
  set_tests_properties(${test} PROPERTIES LABELS "${arg_LABELS}" TIMEOUT ${arg_TIMEOUT}
                                          SKIP_RETURN_CODE 77 RESOURCE_LOCK okv_wine_ports)
  if(OKV_E2E_WINE_UNAVAILABLE STREQUAL "")
    set_tests_properties(${test} PROPERTIES FIXTURES_REQUIRED okv_wine_e2e_prefix)
  endif()
endfunction()
