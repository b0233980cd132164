# SPDX-License-Identifier: MIT
# Compares the dynamic symbols that a shared library defines with its
# checked-in export list (one name a line; blank lines and lines starting
# with # are ignored). Symbol versions are ignored; any extra or missing
# name fails. Run as:
#   cmake -DNM=<nm> -DLIBRARY=<lib.so> -DEXPORTS=<exports.txt> -P check_exports.cmake
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE symbols RESULT_VARIABLE result ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}: ${errors}")
endif()

set(actual "")
string(REPLACE "\n" ";" lines "${symbols}")
foreach(line IN LISTS lines)
  # "<address> <type> <name>[@version]"
  if(line MATCHES "^[0-9a-fA-F]* *[A-Za-z] ([^@ ]+)")
    list(APPEND actual ${CMAKE_MATCH_1})
  endif()
endforeach()
list(REMOVE_DUPLICATES actual)
list(SORT actual)

file(STRINGS ${EXPORTS} expected REGEX "^[ \t]*[^# \t]")
list(TRANSFORM expected STRIP)
list(SORT expected)

if(NOT actual STREQUAL expected)
  set(extra ${actual})
  if(expected)
    list(REMOVE_ITEM extra ${expected})
  endif()
  set(missing ${expected})
  if(actual)
    list(REMOVE_ITEM missing ${actual})
  endif()
  message(FATAL_ERROR "Exported names of ${LIBRARY} differ from ${EXPORTS}\n"
                      "  not in the list: ${extra}\n  missing: ${missing}")
endif()
list(LENGTH actual count)
message(STATUS "${count} exported names match: ${actual}")
