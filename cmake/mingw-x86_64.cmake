# Cross build for 64-bit Windows with Debian's mingw-w64.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(OKV_MINGW_TRIPLET x86_64-w64-mingw32)
# The oldest 64-bit Windows we run on: XP x64 and Server 2003 SP2 (NT 5.2).
set(OKV_WINDOWS_FLOOR 0x0502)
set(OKV_WINDOWS_FLOOR_MAJOR 5)
set(OKV_WINDOWS_FLOOR_MINOR 2)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
