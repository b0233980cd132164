# SPDX-License-Identifier: MIT
# Compares the names that a shared library exports with its checked-in
# export list (one name a line; blank lines and lines starting with # are
# ignored): the dynamic symbols it defines (an ELF library, with nm), or the
# names of its export table (a Windows DLL, with objdump). Symbol versions
# are ignored; any extra or missing name fails. Run as:
#   cmake -DNM=<nm> -DLIBRARY=<lib.so> -DEXPORTS=<exports.txt> -P check_exports.cmake
#   cmake -DOBJDUMP=<objdump> -DLIBRARY=<lib.dll> -DEXPORTS=<exports.txt> -P check_exports.cmake
if(OBJDUMP)
  set(command ${OBJDUMP} -p ${LIBRARY})
  # "\t[   0] QRV_USBInit" in the [Ordinal/Name Pointer] Table
  set(pattern "^\t\\[ *[0-9]+\\] ([^ ]+)$")
else()
  set(command ${NM} -D --defined-only ${LIBRARY})
  # "<address> <type> <name>[@version]"
  set(pattern "^[0-9a-fA-F]* *[A-Za-z] ([^@ ]+)")
endif()
execute_process(COMMAND ${command} OUTPUT_VARIABLE symbols RESULT_VARIABLE result ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${command} failed: ${errors}")
endif()

set(actual "")
string(REPLACE "\n" ";" lines "${symbols}")
foreach(line IN LISTS lines)
  if(line MATCHES "${pattern}")
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
