# Read by CMake after its rules for Apple's compilers (see x86_64-macos.cmake).
# Those rules have the compiler pass -v on to the linker when CMake asks how
# it links; Zig's linker refuses it, so the compiler alone is asked.
foreach(lang C CXX)
  set(CMAKE_${lang}_VERBOSE_FLAG "-v")
endforeach()
