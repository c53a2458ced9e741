# What every Windows program and DLL of the build gets without asking: the floor object (so that
# it starts on XP SP3 and XP x64 / Server 2003 SP2; see src/winfloor), a version resource, and
# (with the tests) a test that reads its import table and header against the floor.
#
# okv_windows_floor() is called once, at the end of the top CMakeLists.txt, when every target is
# defined: it walks every folder of the project, so a new .exe or .dll needs nothing of its own.
# Its Explorer description is the target property OKV_DESCRIPTION (the file name without it).
# Files built only for the tests (anything under a tests folder) get the object and the resource
# but no floor test: they are never shipped.
enable_language(RC)

# Every .exe and .dll target defined in `dir` and the folders below it, the project's own only.
function(okv_pe_targets dir out)
  set(found)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type MATCHES "^(EXECUTABLE|SHARED_LIBRARY|MODULE_LIBRARY)$")
      list(APPEND found ${target})
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    cmake_path(IS_PREFIX CMAKE_SOURCE_DIR "${subdir}" NORMALIZE ours)
    if(ours)
      okv_pe_targets(${subdir} below)
      list(APPEND found ${below})
    endif()
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

# The version resource of one target, from the project's version.
function(okv_version_resource target)
  get_target_property(OKV_RC_NAME ${target} OUTPUT_NAME)
  if(NOT OKV_RC_NAME)
    set(OKV_RC_NAME ${target})
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(OKV_RC_TYPE VFT_APP)
    set(OKV_RC_FILE ${OKV_RC_NAME}.exe)
  else()
    set(OKV_RC_TYPE VFT_DLL)
    get_target_property(prefix ${target} PREFIX)
    if(prefix STREQUAL "prefix-NOTFOUND")
      set(prefix ${CMAKE_SHARED_LIBRARY_PREFIX})
    endif()
    set(OKV_RC_FILE ${prefix}${OKV_RC_NAME}.dll)
  endif()
  get_target_property(OKV_RC_DESCRIPTION ${target} OKV_DESCRIPTION)
  if(NOT OKV_RC_DESCRIPTION)
    set(OKV_RC_DESCRIPTION ${OKV_RC_FILE})
  endif()
  set(rc ${CMAKE_BINARY_DIR}/version/${target}.rc)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()

function(okv_windows_floor)
  okv_pe_targets(${CMAKE_SOURCE_DIR} targets)
  foreach(target IN LISTS targets)
    if(target STREQUAL "okv_floor_objects")
      continue()
    endif()
    target_link_libraries(${target} PRIVATE okv_floor_objects)
    okv_version_resource(${target})
    get_target_property(dir ${target} SOURCE_DIR)
    file(RELATIVE_PATH dir ${CMAKE_SOURCE_DIR} ${dir})  # wherever the clone itself is
    if(OKV_BUILD_TESTS AND NOT dir MATCHES "(^|/)tests(/|$)")
      okv_floor_test(${target} $<TARGET_FILE:${target}>)
    endif()
  endforeach()
  # And whatever the install rules ship, installed as the ZIP lays it out: a file that came by
  # another way than a target of this walk is read there.
  if(OKV_BUILD_TESTS)
    okv_floor_test(package --package ${CMAKE_BINARY_DIR} --cmake ${CMAKE_COMMAND})
  endif()
endfunction()

# One test per shipped file (the arguments after `name` name it for pe_floor.py): its imports
# against the floor's list for its bitness, its header's versions against the floor, and its
# version resource against the project's version. Python reads the file; no Wine is needed.
function(okv_floor_test name)
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(floor win32)
  else()
    set(floor win64)
  endif()
  add_test(NAME windows.floor.${name}
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/windows/pe_floor.py
                   --allowed ${CMAKE_SOURCE_DIR}/tests/windows/floor-${floor}.txt
                   --version ${PROJECT_VERSION} --product ${PROJECT_NAME} ${ARGN})
  set_tests_properties(windows.floor.${name} PROPERTIES LABELS floor TIMEOUT 60)
endfunction()
