# cmake -DREADELF=<readelf> -DPROGRAM=<program> -P check-static.cmake
#
# Fails unless the Linux program is wholly static: no shared library named
# in its dynamic section (NEEDED) and no program interpreter (INTERP) to
# load them, so that it starts on a system whatever libraries that has.
# Nothing is run; the file is only read.
cmake_minimum_required(VERSION 3.20)

function(readelf option out)
  execute_process(COMMAND ${READELF} ${option} ${PROGRAM}
    OUTPUT_VARIABLE dump ERROR_VARIABLE errors RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR errors)
    message(FATAL_ERROR "${READELF} ${option} ${PROGRAM} failed (${rc}): ${errors}")
  endif()
  set(${out} "${dump}" PARENT_SCOPE)
endfunction()

readelf(--program-headers segments)
if(segments MATCHES "INTERP")
  string(REGEX MATCH "program interpreter: ([^]\r\n]+)" interpreter "${segments}")
  message(FATAL_ERROR "${PROGRAM} asks for a program interpreter: ${CMAKE_MATCH_1}")
endif()

readelf(--dynamic dynamic)
string(REGEX MATCHALL "\\(NEEDED\\)[^\r\n]+" needed "${dynamic}")
if(needed)
  message(FATAL_ERROR "${PROGRAM} needs shared libraries:\n${needed}")
endif()
message(STATUS "${PROGRAM}: static, no interpreter, no shared library")
