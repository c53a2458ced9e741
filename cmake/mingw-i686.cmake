# Cross build for 32-bit Windows with Debian's mingw-w64.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(OKV_MINGW_TRIPLET i686-w64-mingw32)
# The oldest 32-bit Windows we run on: XP SP3 (NT 5.1).
set(OKV_WINDOWS_FLOOR 0x0501)
set(OKV_WINDOWS_FLOOR_MAJOR 5)
set(OKV_WINDOWS_FLOOR_MINOR 1)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
