# Compares the dynamic symbols that LIBRARY defines with the names listed in
# EXPORTS (one per line). Symbol versions are ignored; any extra or missing
# name fails.
execute_process(COMMAND nm -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE symbols RESULT_VARIABLE result ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}: ${errors}")
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

file(STRINGS ${EXPORTS} expected)
list(FILTER expected EXCLUDE REGEX "^[ \t]*$")
list(SORT expected)

if(NOT actual STREQUAL expected)
  set(extra ${actual})
  list(REMOVE_ITEM extra ${expected})
  set(missing ${expected})
  if(actual)
    list(REMOVE_ITEM missing ${actual})
  endif()
  message(FATAL_ERROR "exported names differ from ${EXPORTS}\n  extra: ${extra}\n  missing: ${missing}")
endif()
message(STATUS "exports match: ${actual}")
