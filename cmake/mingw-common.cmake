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

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
