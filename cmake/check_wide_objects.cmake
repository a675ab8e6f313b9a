# Fails when an object of the wide instruction-set files (scene/wide_code.h) defines a weak
# symbol: an inline function, a template instance or a library helper that the linker could keep
# from there for every caller, the plain code's included, which would then stop at an illegal
# instruction on a processor without AVX2 or AVX-512. The build runs it on those objects before
# it archives the core; the tests run it on a fixture that has such a definition.
#   cmake -DNM=nm "-DOBJECTS=a.o;b.o" [-DEXPECTED=2] -P cmake/check_wide_objects.cmake
# EXPECTED: how many objects there must be (so that none is left out unchecked).
cmake_minimum_required(VERSION 3.20)

if(NOT NM OR NOT OBJECTS)
  message(FATAL_ERROR "check_wide_objects: give NM and OBJECTS")
endif()
list(REMOVE_ITEM OBJECTS "")
list(LENGTH OBJECTS count)
if(DEFINED EXPECTED AND NOT count EQUAL EXPECTED)
  message(FATAL_ERROR "check_wide_objects: ${count} objects to check, ${EXPECTED} expected: ${OBJECTS}")
endif()

# The pointer to the C++ personality routine that every object with exception tables may carry:
# data, the same in every object, never code.
set(allowed DW.ref.__gxx_personality_v0)

set(found "")
foreach(object IN LISTS OBJECTS)
  execute_process(COMMAND ${NM} --defined-only ${object}
                  OUTPUT_VARIABLE listing ERROR_VARIABLE errors RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "check_wide_objects: ${NM} failed on ${object}: ${errors}")
  endif()
  # "value type name" per line; W and w: weak, V and v: weak object, u: unique global (a
  # template's static data, merged like a weak definition).
  string(REGEX MATCHALL "[^\n]+" lines "${listing}")
  foreach(line IN LISTS lines)
    if(line MATCHES "^[0-9A-Fa-f]* *([WwVvu]) (.+)$" AND NOT CMAKE_MATCH_2 IN_LIST allowed)
      string(APPEND found "\n  ${object}: ${CMAKE_MATCH_1} ${CMAKE_MATCH_2}")
    endif()
  endforeach()
endforeach()

if(found)
  message(FATAL_ERROR "check_wide_objects: weak definitions in code built for AVX2 or AVX-512 (the linker "
                      "may keep them for the plain code too; see scene/wide_code.h):${found}")
endif()
