# The Wine prefix of this build (build/<preset>/wineprefix) and the CTest fixture `wine_prefix`
# that prepares it before the first test under Wine and stops its server after the last.
#
# Whether Wine can run this build's programs at all (OKV_WINE, OKV_WINE_READY, OKV_WINE_WHY) is
# decided by cmake/wine.cmake. Sets for the tests that follow:
#   OKV_WINE_PREFIX   the prefix folder
#   OKV_WINE_RUN      the emulator to give Windows test targets (CROSSCOMPILING_EMULATOR): it
#                     runs a program in the prefix, making the prefix when it is missing
#   okv_wine_skip(<name> ...) adds, in place of tests that cannot run, one that says why and is
#                     reported as skipped
set(OKV_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(OKV_WINE_SCRIPTS ${CMAKE_CURRENT_LIST_DIR})

set(OKV_WINE_RUN ${OKV_WINE_SCRIPTS}/wine_run.sh ${OKV_WINE_PREFIX} ${OKV_WINE})

function(okv_wine_skip name)
  add_test(NAME ${name} COMMAND sh -c "echo \"skipped: $1\"; exit 77" sh "${OKV_WINE_WHY}")
  set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77 LABELS "wine;${ARGN}")
endfunction()

if(OKV_WINE_READY)
  add_test(NAME wine.prefix.setup
           COMMAND ${OKV_WINE_SCRIPTS}/wine_prefix.sh setup ${OKV_WINE_PREFIX} ${OKV_WINE})
  set_tests_properties(wine.prefix.setup PROPERTIES FIXTURES_SETUP wine_prefix LABELS wine
                                                    TIMEOUT 300)
  add_test(NAME wine.prefix.teardown
           COMMAND ${OKV_WINE_SCRIPTS}/wine_prefix.sh teardown ${OKV_WINE_PREFIX} ${OKV_WINE})
  set_tests_properties(wine.prefix.teardown PROPERTIES FIXTURES_CLEANUP wine_prefix LABELS wine
                                                       TIMEOUT 60)
else()
  message(STATUS "Tests under Wine: ${OKV_WINE_WHY}; they are reported as skipped")
endif()
