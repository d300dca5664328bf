# The Windows build: a 32-bit x86 console program (Debian's
# g++-mingw-w64-i686), run here under wine with its 32-bit loader.
set(MINGW_TRIPLET i686-w64-mingw32)
set(MINGW_PROCESSOR x86)
set(WINE_ARCH win32)
set(WINE_LOADER wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
