# Whether the programs of a Windows build can be run here, under Wine. Every test that runs one
# takes its answer from here; included before the first target, once the compiler (and so the
# bitness) is known.
#
# Sets:
#   OKV_WINE        the wine launcher (OKV_WINE-NOTFOUND without it)
#   OKV_WINE_READY  true when this build's .exe files can be run
#   OKV_WINE_WHY    why they cannot, in the words the skipped tests and the configure log show;
#                   empty when they can
find_program(OKV_WINE wine)
set(OKV_WINE_READY FALSE)
set(OKV_WINE_WHY "")
if(NOT OKV_WINE)
  set(OKV_WINE_WHY "Wine is not installed (apt-get install wine wine64, and wine32:i386 for win32)")
elseif(CMAKE_SIZEOF_VOID_P EQUAL 4 AND EXISTS /usr/lib/wine/wine64 AND NOT EXISTS /usr/lib/wine/wine)
  # Debian's wine64 alone cannot start 32-bit programs.
  set(OKV_WINE_WHY "32-bit Wine is not installed (dpkg --add-architecture i386; apt-get install wine32:i386)")
else()
  set(OKV_WINE_READY TRUE)
endif()

# A test whose command names one of this build's programs runs it under Wine.
if(OKV_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${OKV_WINE})
endif()
