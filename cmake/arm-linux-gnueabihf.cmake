# Linux on 32-bit ARM with hard-float (Debian's g++-arm-linux-gnueabihf).
# The program is linked statically, C and C++ runtimes included, so that it
# starts on any such Linux whatever its libraries; qemu-arm runs it here as
# it is.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_ASM_COMPILER arm-linux-gnueabihf-gcc)

set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A warning of the static link is an error: the C library warns of each
# call (getaddrinfo, dlopen...) that would still load a shared library at
# run time, which the program must not need.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--fatal-warnings")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
# The end-to-end tests read it to know which build they talk to.
set(TINKERPOT_TARGET arm)
