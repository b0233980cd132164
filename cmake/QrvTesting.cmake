# qrv_discover_tests(<target> [LABELS <label>...] [PROPERTIES <name> <value>...]
#                    [DISCOVERY_TIMEOUT <seconds>])
#
# Registers every GoogleTest case of <target> with ctest and gives each one all
# the labels named. gtest_discover_tests' own PROPERTIES option loses every
# label but the first (the list is split on its way through the discovery
# script), so the labels are set by a script that ctest runs after it has
# read the discovered tests. The presets select tests by label: "tsan" marks
# the threaded ones for the ThreadSanitizer run.
function(qrv_discover_tests target)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "DISCOVERY_TIMEOUT" "LABELS;PROPERTIES")
  set(list_variable ${target}_discovered_tests)
  set(options TEST_LIST ${list_variable})
  if(ARG_PROPERTIES)
    list(APPEND options PROPERTIES ${ARG_PROPERTIES})
  endif()
  if(ARG_DISCOVERY_TIMEOUT)
    list(APPEND options DISCOVERY_TIMEOUT ${ARG_DISCOVERY_TIMEOUT})
  endif()
  gtest_discover_tests(${target} ${options})
  if(ARG_LABELS)
    set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}_labels.cmake)
    file(WRITE ${script}
      "if(${list_variable})\n"
      "  set_tests_properties(\${${list_variable}} PROPERTIES LABELS \"${ARG_LABELS}\")\n"
      "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
  endif()
endfunction()
