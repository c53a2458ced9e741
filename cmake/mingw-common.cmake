# What the 32- and 64-bit Windows cross builds share; the toolchain file of each sets
# CMAKE_SYSTEM_PROCESSOR and OKV_MINGW_TRIPLET, then includes this one.
#
# The -posix compilers are used: Debian's default mingw compilers are the -win32 thread-model
# variants, whose C++ library lacks std::thread (the tests need it; the product uses Win32 calls).
# Everything is linked statically, so that okvbridge.exe imports only Windows system DLLs and runs
# on a machine with no mingw runtime installed. Whether Wine can run the programs here is decided
# by cmake/wine.cmake, once the project knows its bitness.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${OKV_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${OKV_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${OKV_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${OKV_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The oldest Windows we run on (OKV_WINDOWS_FLOOR, from the toolchain file): the headers hide most
# of what it lacks, and every .exe and .dll says in its header that it runs there. The headers do
# not hide everything, and the static libraries are built for newer systems: the floor test of
# each file reads its import table (cmake/windows_floor.cmake).
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=${OKV_WINDOWS_FLOOR} -DWINVER=${OKV_WINDOWS_FLOOR}")
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=${OKV_WINDOWS_FLOOR} -DWINVER=${OKV_WINDOWS_FLOOR}")
set(okv_floor_version "${OKV_WINDOWS_FLOOR_MAJOR},--minor-os-version,${OKV_WINDOWS_FLOOR_MINOR}")
set(okv_floor_link "-Wl,--major-os-version,${okv_floor_version}")
string(APPEND okv_floor_link ",--major-subsystem-version,${OKV_WINDOWS_FLOOR_MAJOR}")
string(APPEND okv_floor_link ",--minor-subsystem-version,${OKV_WINDOWS_FLOOR_MINOR}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ ${okv_floor_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ ${okv_floor_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ ${okv_floor_link}")
