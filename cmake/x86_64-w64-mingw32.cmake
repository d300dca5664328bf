# The same sources as a 64-bit Windows console program (Debian's
# g++-mingw-w64-x86-64), run under wine's 64-bit loader. It is no
# deliverable: it stands in for the 32-bit Windows build on machines whose
# kernel runs no 32-bit x86 code, where wine's 32-bit loader cannot start.
# Windows keeps `long` at 32 bits in 64-bit programs too, so an announced
# length means the same in both; pointers and SOCKET are 64 bits wide here.
set(MINGW_TRIPLET x86_64-w64-mingw32)
set(MINGW_PROCESSOR AMD64)
set(WINE_ARCH win64)
find_program(WINE64_LOADER NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(WINE64_LOADER NAMES wine64)
set(WINE_LOADER ${WINE64_LOADER})
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
