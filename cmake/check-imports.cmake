# cmake -DOBJDUMP=<objdump> -DPROGRAM=<program.exe> -P check-imports.cmake
#
# Fails unless the Windows program imports DLLs of the system alone: the
# static link must have left no DLL of the compiler's runtime (libstdc++,
# libgcc, winpthread) or of anything else that a learner's machine lacks.
# The list holds the system DLLs that the program uses now; one that it comes
# to need is added here.
cmake_minimum_required(VERSION 3.20)
set(SYSTEM_DLLS kernel32.dll msvcrt.dll ws2_32.dll)

execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM}
  OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${PROGRAM} failed: ${rc}")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" lines "${dump}")
if(NOT lines)
  message(FATAL_ERROR "no imported DLL found in ${PROGRAM}")
endif()
set(foreign "")
foreach(line ${lines})
  string(REGEX REPLACE "^DLL Name: " "" dll "${line}")
  string(TOLOWER "${dll}" dll)
  message(STATUS "imports ${dll}")
  if(NOT dll IN_LIST SYSTEM_DLLS)
    list(APPEND foreign ${dll})
  endif()
endforeach()
if(foreign)
  message(FATAL_ERROR "${PROGRAM} imports DLLs that are not the system's: ${foreign}")
endif()
