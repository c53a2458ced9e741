# The unit tests as Windows programs, run under Wine (labels unit and wine). Included from
# CMakeLists.txt after okv_unit_tests is defined.
#
# The fake runtime is kolt8.dll here. Each group of tests finds it (or not) the way a user's
# bridge finds the real one: through PATH, or through the current folder.

# DLLs are runtime files on Windows, and they are named kolt8.dll, not libkolt8.dll.
set_target_properties(okv_fake_runtime PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY
                                                           ${FAKE_RUNTIME_DIR})
set_target_properties(okv_fake_runtime_no_entry PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY
                                                                    ${NO_ENTRY_RUNTIME_DIR})
# The console recorder catches every message at the formatting call (see test_os_win32.cpp).
target_link_options(okv_unit_tests PRIVATE -Wl,--wrap=__mingw_vfprintf)

# --- the real port, on pseudo-terminals joined by socat -----------------------------------
# Calls of the port code into the system go through the test first, where it counts, records
# or fails them: the import pointers are wrapped (their names differ between 32 and 64 bits).
add_executable(okv_port_tests port_access_win32_test.cpp)
target_link_libraries(okv_port_tests PRIVATE okv_warnings okv_serial okv_clock GTest::gtest_main)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # --wrap takes the names without the 32-bit leading underscore.
  set(wrapped _imp__CreateFileA@28 _imp__SetCommState@8 _imp__ClearCommError@12
              _imp__WaitCommEvent@12 _imp__WriteFile@20 _imp__ReadFile@20 _imp__CreateEventA@16)
else()
  set(wrapped __imp_CreateFileA __imp_SetCommState __imp_ClearCommError __imp_WaitCommEvent
              __imp_WriteFile __imp_ReadFile __imp_CreateEventA)
endif()
foreach(symbol IN LISTS wrapped)
  target_link_options(okv_port_tests PRIVATE -Wl,--wrap=${symbol})
endforeach()
set_target_properties(okv_port_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})

# --- the console's code page and input mode, on a console played by the test ------------------
add_executable(okv_console_tests console_win32_test.cpp)
target_link_libraries(okv_console_tests PRIVATE okv_warnings okv_platform GTest::gtest_main)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(wrapped _imp__GetConsoleMode@8 _imp__SetConsoleMode@8 _imp__GetConsoleOutputCP@0
              _imp__SetConsoleOutputCP@4 _imp__SetConsoleCtrlHandler@8)
else()
  set(wrapped __imp_GetConsoleMode __imp_SetConsoleMode __imp_GetConsoleOutputCP
              __imp_SetConsoleOutputCP __imp_SetConsoleCtrlHandler)
endif()
foreach(symbol IN LISTS wrapped)
  target_link_options(okv_console_tests PRIVATE -Wl,--wrap=${symbol})
endforeach()
set_target_properties(okv_console_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY
                                                   ${CMAKE_CURRENT_BINARY_DIR})

# --- what the oldest Windows lacks, made at run time --------------------------------------------
# Every program links the floor object already (cmake/windows_floor.cmake); this one reaches its
# header too, to play an old Windows's lookups and tick.
add_executable(okv_floor_tests winfloor_win32_test.cpp)
target_link_libraries(okv_floor_tests PRIVATE okv_warnings okv_floor GTest::gtest_main)
set_target_properties(okv_floor_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY
                                                 ${CMAKE_CURRENT_BINARY_DIR})

# --- the logon task, through Wine's own schtasks ---------------------------------------------
add_executable(okv_task_tests task_win32_test.cpp)
target_link_libraries(okv_task_tests PRIVATE okv_warnings okv_run_task GTest::gtest_main)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  target_link_options(okv_task_tests PRIVATE -Wl,--wrap=_imp__GetVersionExA@4)
else()
  target_link_options(okv_task_tests PRIVATE -Wl,--wrap=__imp_GetVersionExA)
endif()
set_target_properties(okv_task_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})

if(NOT OKV_WINE_READY)
  okv_wine_skip(wine.unit.skipped unit)
  return()
endif()

set_target_properties(okv_unit_tests okv_port_tests okv_console_tests okv_floor_tests
                      okv_task_tests
                      PROPERTIES CROSSCOMPILING_EMULATOR "${OKV_WINE_RUN}")

# Wine takes the Windows PATH from WINEPATH; its folders are Windows paths (drive Z: is /).
string(REPLACE "/" "\\" fake_runtime_path "Z:${FAKE_RUNTIME_DIR}")
# The first listing of a fresh build makes the Wine prefix, which takes 10-20 s.
set(discovery DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 180 NO_PRETTY_VALUES
              TEST_PREFIX "wine.unit.")
set(common_properties TIMEOUT 120)

gtest_discover_tests(okv_unit_tests ${discovery} TEST_LIST okv_wine_unit_tests
  TEST_FILTER "-NoLibrary*:NoEntryPoint*"
  PROPERTIES ENVIRONMENT "WINEPATH=${fake_runtime_path}" ${common_properties})
okv_list_properties(okv_wine_unit_tests "unit;wine" wine_prefix)
gtest_discover_tests(okv_console_tests ${discovery} TEST_LIST okv_wine_console_tests
  PROPERTIES ${common_properties})
okv_list_properties(okv_wine_console_tests "unit;wine" wine_prefix)
gtest_discover_tests(okv_floor_tests ${discovery} TEST_LIST okv_wine_floor_tests
  PROPERTIES ${common_properties})
okv_list_properties(okv_wine_floor_tests "unit;wine" wine_prefix)

# Each test removes the task it registered; they share the port's one task.
gtest_discover_tests(okv_task_tests ${discovery} TEST_LIST okv_wine_task_tests
  PROPERTIES RESOURCE_LOCK wine_task ${common_properties})
okv_list_properties(okv_wine_task_tests "unit;wine" wine_prefix)
# No kolt8.dll anywhere on the search.
gtest_discover_tests(okv_unit_tests ${discovery} TEST_LIST okv_wine_no_library_tests
  TEST_FILTER "NoLibrary*" WORKING_DIRECTORY ${NO_RUNTIME_DIR}
  PROPERTIES ${common_properties})
okv_list_properties(okv_wine_no_library_tests "unit;wine" wine_prefix)
# The one without the entry point, found through the current folder.
gtest_discover_tests(okv_unit_tests ${discovery} TEST_LIST okv_wine_no_entry_tests
  TEST_FILTER "NoEntryPoint*" WORKING_DIRECTORY ${NO_ENTRY_RUNTIME_DIR}
  PROPERTIES ${common_properties})
okv_list_properties(okv_wine_no_entry_tests "unit;wine" wine_prefix)

if(NOT OKV_SOCAT)
  set(OKV_WINE_WHY "socat is not installed (apt-get install socat): no serial line to test on")
  okv_wine_skip(wine.unit.ports.skipped unit)
  return()
endif()

# COM5 is the bridge's side and COM6 the device's; COM12, COM12345678 and COM123456789 are
# further names of COM5, reached only through the device-namespace form "\\.\COM<n>".
set(pair 5 6 12 12345678 123456789)
add_test(NAME wine.ports.start COMMAND ${OKV_WINE_SCRIPTS}/pty_pair.sh start ${OKV_WINE_PREFIX} ${pair})
add_test(NAME wine.ports.stop COMMAND ${OKV_WINE_SCRIPTS}/pty_pair.sh stop ${OKV_WINE_PREFIX} ${pair})
set_tests_properties(wine.ports.start PROPERTIES FIXTURES_SETUP wine_ports FIXTURES_REQUIRED wine_prefix
                                                 LABELS "unit;wine" TIMEOUT 30)
set_tests_properties(wine.ports.stop PROPERTIES FIXTURES_CLEANUP wine_ports LABELS "unit;wine" TIMEOUT 30)
gtest_discover_tests(okv_port_tests ${discovery} TEST_LIST okv_wine_port_tests
  PROPERTIES ENVIRONMENT "OKV_WINE_PORTS=5 6 12" RESOURCE_LOCK wine_com5 ${common_properties})
okv_list_properties(okv_wine_port_tests "unit;wine" "wine_prefix;wine_ports")
