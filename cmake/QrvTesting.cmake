# SPDX-License-Identifier: MIT
# qrv_test_program(<target>)
#
# A test program's own files are compiled without optimization in every
# configuration: the code under test keeps the configuration's flags, and
# optimizing the test files (GoogleTest's assertions expand into a great
# deal of code) took twice the time of compiling them, three builds a run.
# They are compiled together, a unity file of up to eight: the templates
# GoogleTest and the standard library instantiate are generated once for
# all of them (a fifth less time). So each test file names its constants
# and helpers apart from its neighbours', or shares them from a header.
function(qrv_test_program target)
  target_compile_options(${target} PRIVATE $<$<NOT:$<CONFIG:Debug>>:-O0>)
  set_target_properties(${target} PROPERTIES UNITY_BUILD ON)
endfunction()

# The GoogleTest programs (qrv_discover_tests) share one precompiled header:
# GoogleTest, GoogleMock and the standard library, about half of what an
# unoptimized test file costs. It is compiled in a program of its own, made
# as they are (an executable's position-independent code, -O0, the preset's
# flags); a file whose flags still differ reads the headers themselves.
add_executable(qrv_test_headers ${CMAKE_CURRENT_LIST_DIR}/test_headers.cpp)
target_link_libraries(qrv_test_headers PRIVATE GTest::gmock GTest::gtest_main)
qrv_test_program(qrv_test_headers)
target_precompile_headers(qrv_test_headers PRIVATE
  <gmock/gmock.h> <gtest/gtest.h>
  <algorithm> <atomic> <chrono> <cstdint> <cstring> <filesystem> <fstream> <functional> <map>
  <memory> <mutex> <optional> <set> <sstream> <string> <thread> <vector>)

# threaded_tests: the programs that hold the tests labeled "tsan", and what
# they run; the ThreadSanitizer preset builds only these. qrv_discover_tests
# adds the program wherever it gives the label; a test labeled "tsan" in any
# other way needs qrv_threaded_test_program for its program, or the
# ThreadSanitizer pass never sees it (a program not built shows in ctest as
# one test without labels).
add_custom_target(threaded_tests)
function(qrv_threaded_test_program target)
  add_dependencies(threaded_tests ${target})
endfunction()

# qrv_discover_tests(<target> [LABELS <label>...] [THREADED <regex>] [SLOW <regex>]
#                    [PROPERTIES <name> <value>...] [DISCOVERY_TIMEOUT <seconds>])
#
# Registers every GoogleTest case of <target> with ctest and gives each one all
# the labels named. gtest_discover_tests' own PROPERTIES option loses every
# label but the first (the list is split on its way through the discovery
# script), so the labels are set by a script that ctest runs after it has
# read the discovered tests. The presets select tests by label:
#
# - "tsan" marks the tests that run more than one thread of the project's
#   code, for the ThreadSanitizer run: give it in LABELS when every test of
#   the target does, or THREADED with a regular expression that matches the
#   names of those that do.
# - "slow" marks the tests that wait out a real time limit of the system
#   (the 30-second attach wait): SLOW matches their names. Only the default
#   preset runs them, first of all.
#
# A THREADED or SLOW expression that matches no test fails the test run, so a
# renamed test cannot lose its label unnoticed.
function(qrv_discover_tests target)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "DISCOVERY_TIMEOUT;THREADED;SLOW" "LABELS;PROPERTIES")
  qrv_test_program(${target})
  target_precompile_headers(${target} REUSE_FROM qrv_test_headers)
  if(ARG_THREADED OR "tsan" IN_LIST ARG_LABELS)
    qrv_threaded_test_program(${target})
  endif()
  set(list_variable ${target}_discovered_tests)
  set(options TEST_LIST ${list_variable})
  if(ARG_PROPERTIES)
    list(APPEND options PROPERTIES ${ARG_PROPERTIES})
  endif()
  if(ARG_DISCOVERY_TIMEOUT)
    list(APPEND options DISCOVERY_TIMEOUT ${ARG_DISCOVERY_TIMEOUT})
  endif()
  gtest_discover_tests(${target} ${options})

  set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}_labels.cmake)
  file(CONFIGURE OUTPUT ${script} @ONLY CONTENT [==[
set(threaded [=[@ARG_THREADED@]=])
set(slow [=[@ARG_SLOW@]=])
set(threaded_found OFF)
set(slow_found OFF)
foreach(test IN LISTS @list_variable@)
  set(labels "@ARG_LABELS@")
  if(threaded AND test MATCHES "${threaded}")
    list(APPEND labels tsan)
    set(threaded_found ON)
  endif()
  if(slow AND test MATCHES "${slow}")
    list(APPEND labels slow)
    set(slow_found ON)
    # Started first, so that the tests run in parallel meanwhile.
    set_tests_properties("${test}" PROPERTIES COST 1000)
  endif()
  if(labels)
    set_tests_properties("${test}" PROPERTIES LABELS "${labels}")
  endif()
endforeach()
if(@list_variable@ AND threaded AND NOT threaded_found)
  message(FATAL_ERROR "@target@: THREADED '${threaded}' matches no test")
endif()
if(@list_variable@ AND slow AND NOT slow_found)
  message(FATAL_ERROR "@target@: SLOW '${slow}' matches no test")
endif()
]==])
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
endfunction()
