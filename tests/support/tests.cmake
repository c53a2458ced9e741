# The tests' CMake helpers, included once from tests/CMakeLists.txt before any test folder (the
# simulators' test folders included). It looks up, for every folder below:
#   Python3::Interpreter  (Python3_Interpreter_FOUND) the interpreter of the Python-run tests
#   OKV_SOCAT             socat, which joins the pseudo-terminals of the tests under Wine
# and defines okv_runner_names, okv_python_cases, okv_python_test, okv_python_path and
# okv_list_properties.
find_package(Python3 COMPONENTS Interpreter)
find_program(OKV_SOCAT socat)

# The tests' shared Python package lives here; every test that runs Python is given this path.
# (The scripts that people also start by hand, outside CTest, find it with one line of their own.)
set(OKV_TEST_PYTHONPATH ${CMAKE_CURRENT_LIST_DIR})

# okv_python_path(<test>...): the tests' Python package on PYTHONPATH, for tests that run Python
# themselves or through a script of theirs.
function(okv_python_path)
  set_property(TEST ${ARGN} APPEND PROPERTY ENVIRONMENT "PYTHONPATH=${OKV_TEST_PYTHONPATH}")
endfunction()

# okv_python_test(<name> <script> <argument>...): a test that runs a Python script.
function(okv_python_test name script)
  add_test(NAME ${name} COMMAND Python3::Interpreter ${script} ${ARGN})
  okv_python_path(${name})
endfunction()

# The names a test runner knows (`<runner> --list`, one a line), read from it so that the tests
# registered for them cannot drift from the runner; editing the runner configures again.
function(okv_runner_names runner out)
  execute_process(COMMAND ${Python3_EXECUTABLE} ${runner} --list
                  OUTPUT_VARIABLE listing RESULT_VARIABLE listed)
  if(NOT listed EQUAL 0)
    message(FATAL_ERROR "${runner} --list failed (${listed})")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${runner})
  set(names)
  string(REGEX MATCHALL "[^\n]+" lines "${listing}")
  foreach(line IN LISTS lines)
    string(STRIP "${line}" name)
    if(name STREQUAL "")
      continue()
    endif()
    # Anything else on its output would otherwise become a test name, or several.
    if(NOT name MATCHES "^[a-z0-9_]+$")
      message(FATAL_ERROR "${runner} --list printed \"${line}\", which is not a name")
    endif()
    list(APPEND names ${name})
  endforeach()
  if(NOT names)
    message(FATAL_ERROR "${runner} --list printed no names")
  endif()
  set(${out} ${names} PARENT_SCOPE)
endfunction()

# okv_python_cases(<prefix> <runner> [COMMAND <command>...] [ARGUMENTS <argument>...]
#                  [LABELS <label>...] [TIMEOUT <seconds>] [PROPERTIES <name> <value>...])
# One test <prefix>.<case> for every case the runner lists, running `<command> <case>
# <argument>...`; the command is the runner under Python 3 unless given (a wrapper that sets the
# scene and runs the runner itself). PROPERTIES take single values; every test gets the tests'
# Python package on PYTHONPATH.
function(okv_python_cases prefix runner)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "TIMEOUT" "COMMAND;ARGUMENTS;LABELS;PROPERTIES")
  if(NOT arg_COMMAND)
    set(arg_COMMAND Python3::Interpreter ${runner})
  endif()
  okv_runner_names(${runner} cases)
  foreach(case IN LISTS cases)
    add_test(NAME ${prefix}.${case} COMMAND ${arg_COMMAND} ${case} ${arg_ARGUMENTS})
    set_tests_properties(${prefix}.${case} PROPERTIES LABELS "${arg_LABELS}"
                                                      TIMEOUT ${arg_TIMEOUT} ${arg_PROPERTIES})
    okv_python_path(${prefix}.${case})
  endforeach()
endfunction()

# gtest_discover_tests flattens list-valued PROPERTIES (two labels, two fixtures), so those are
# set by a script of ours that CTest reads after the discovered list named `list`.
function(okv_list_properties list labels fixtures)
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${list}_properties.cmake)
  file(WRITE ${script}
       "if(${list})\n"
       "  set_tests_properties(\${${list}} PROPERTIES LABELS \"${labels}\"\n"
       "                       FIXTURES_REQUIRED \"${fixtures}\")\n"
       "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
endfunction()
