# What the two Windows tool chain files share. Before including it they set
# MINGW_TRIPLET (the tool prefix), MINGW_PROCESSOR, WINE_ARCH (win32 or
# win64) and WINE_LOADER (the wine program that runs this kind of program).
#
# The program is linked statically (see CMakeLists.txt), so it imports only
# the system's own DLLs. The win32 thread variant of the compilers is taken
# where Debian has both: the program makes its threads with _beginthreadex
# and needs no POSIX thread library.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${MINGW_PROCESSOR})

find_program(MINGW_CC NAMES ${MINGW_TRIPLET}-gcc-win32 ${MINGW_TRIPLET}-gcc REQUIRED)
find_program(MINGW_CXX NAMES ${MINGW_TRIPLET}-g++-win32 ${MINGW_TRIPLET}-g++ REQUIRED)
set(CMAKE_C_COMPILER ${MINGW_CC})
set(CMAKE_CXX_COMPILER ${MINGW_CXX})
set(CMAKE_ASM_COMPILER ${MINGW_CC})
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The program runs here under wine, headless, in a prefix of its own inside
# the build folder; the tests make it afresh once per run (wineboot -i) and
# end its wineserver after the last test. The overrides keep wine from
# offering to install its .NET and browser engines.
set(TINKERPOT_WINE_ENV
  WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix
  WINEARCH=${WINE_ARCH}
  WINEDEBUG=-all
  WINEDLLOVERRIDES=mscoree,mshtml=)
# env replaces itself with wine, which becomes the program's own process: a
# SIGINT sent to it reaches the program as Ctrl+C.
set(CMAKE_CROSSCOMPILING_EMULATOR env ${TINKERPOT_WINE_ENV} ${WINE_LOADER})
# The end-to-end tests read it to know which build they talk to.
set(TINKERPOT_TARGET windows)
