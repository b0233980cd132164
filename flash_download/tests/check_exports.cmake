# Compares the dynamic symbols that a shared library defines with a checked-in
# list, one name a line. Run as:
#   cmake -DNM=<nm> -DLIBRARY=<lib.so> -DEXPECTED=<list> -P check_exports.cmake
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()

string(REPLACE "\n" ";" lines "${listing}")
set(defined)
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]* *[A-Za-z] ([^ ]+)$")
    list(APPEND defined "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(SORT defined)

file(STRINGS ${EXPECTED} expected REGEX "^[^#].*")
list(SORT expected)

if(NOT defined STREQUAL expected)
  set(extra ${defined})
  list(REMOVE_ITEM extra ${expected})
  set(missing ${expected})
  list(REMOVE_ITEM missing ${defined})
  message(FATAL_ERROR "Exported names of ${LIBRARY} differ from ${EXPECTED}\n"
                      "  not in the list: ${extra}\n  missing: ${missing}")
endif()
list(LENGTH defined count)
message(STATUS "${count} exported names match")
