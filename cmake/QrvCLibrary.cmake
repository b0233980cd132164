# SPDX-License-Identifier: MIT
# qrv_add_c_library(<name>
#                   OBJECTS <object library>
#                   EXPORTS <export list>
#                   HEADER <public header>
#                   [DESCRIPTION <one line>]
#                   [LINK <library>...]
#                   [STATIC <static name> [STATIC_LINK <library>...]]
#                   [TEST_LABELS <label>...])
#
# A shared library with a C interface, made from the objects of <object
# library>, that exports exactly the names of <export list> (one name a line;
# blank lines and # comments ignored) and nothing else, whatever the C++
# runtime headers and the libraries linked in would otherwise make visible.
#
# - <name>: the shared library (lib<name>.so.<major>, the project's major
#   version as its SONAME), linking LINK privately; installed into the
#   multiarch library folder with its public header and a pkg-config file
#   <name>.pc (DESCRIPTION is its description).
# - STATIC: the same objects as a static library for tests and benchmarks,
#   linking STATIC_LINK publicly, so that a test can choose what is below.
# - The test <name>_exports compares the names the built library exports
#   with the list (cmake/check_exports.cmake): its dynamic symbols (nm -D),
#   or on Windows its export table (objdump -p).
#
# The export list is turned into what the linker takes in this one place: a
# version script for GNU ld, and for a Windows DLL (<name>.dll, import
# library <name>.lib) a module-definition file <name>.def, installed with it.
function(qrv_add_c_library name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "OBJECTS;EXPORTS;HEADER;STATIC;DESCRIPTION" "LINK;STATIC_LINK;TEST_LABELS")
  foreach(required OBJECTS EXPORTS HEADER)
    if(NOT ARG_${required})
      message(FATAL_ERROR "qrv_add_c_library(${name}): ${required} is required")
    endif()
  endforeach()
  get_filename_component(exports ${ARG_EXPORTS} ABSOLUTE)
  get_filename_component(header ${ARG_HEADER} ABSOLUTE)
  get_filename_component(include_dir ${header} DIRECTORY)

  file(STRINGS ${exports} names REGEX "^[ \t]*[^# \t]")
  list(TRANSFORM names STRIP)
  if(NOT names)
    message(FATAL_ERROR "qrv_add_c_library(${name}): ${exports} lists no name")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${exports})

  add_library(${name} SHARED $<TARGET_OBJECTS:${ARG_OBJECTS}>)
  target_include_directories(${name} PUBLIC ${include_dir})
  target_link_libraries(${name} PRIVATE ${ARG_LINK})
  if(WIN32)
    # The DLL exports the names of the .def file and nothing else.
    set(definitions ${CMAKE_CURRENT_BINARY_DIR}/${name}.def)
    list(JOIN names "\n  " name_list)
    file(CONFIGURE OUTPUT ${definitions} CONTENT "LIBRARY ${name}.dll\nEXPORTS\n  ${name_list}\n")
    target_sources(${name} PRIVATE ${definitions})
    set_target_properties(${name} PROPERTIES PREFIX "" IMPORT_PREFIX "" IMPORT_SUFFIX ".lib")
    install(FILES ${definitions} DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
    set(export_tool -DOBJDUMP=${CMAKE_OBJDUMP})
  else()
    # GNU ld: the listed names are global, everything else local.
    set(version_script ${CMAKE_CURRENT_BINARY_DIR}/${name}.map)
    list(JOIN names "; " name_list)
    file(CONFIGURE OUTPUT ${version_script} CONTENT "{\n  global: ${name_list};\n  local: *;\n};\n")
    target_link_options(${name} PRIVATE -Wl,--version-script=${version_script})
    set_target_properties(${name} PROPERTIES LINK_DEPENDS ${version_script}
      VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
    set(export_tool -DNM=${CMAKE_NM})
  endif()
  install(TARGETS ${name}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
  install(FILES ${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)
  set(QRV_PC_NAME ${name})
  set(QRV_PC_DESCRIPTION "${ARG_DESCRIPTION}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/qrv_library.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${name}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${name}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    COMPONENT Development)

  if(ARG_STATIC)
    add_library(${ARG_STATIC} STATIC $<TARGET_OBJECTS:${ARG_OBJECTS}>)
    target_include_directories(${ARG_STATIC} PUBLIC ${include_dir})
    target_link_libraries(${ARG_STATIC} PUBLIC ${ARG_STATIC_LINK})
  endif()

  if(QRV_BUILD_TESTS OR WIN32)
    add_test(NAME ${name}_exports
      COMMAND ${CMAKE_COMMAND} ${export_tool} -DLIBRARY=$<TARGET_FILE:${name}> -DEXPORTS=${exports}
              -P ${PROJECT_SOURCE_DIR}/cmake/check_exports.cmake)
    set_tests_properties(${name}_exports PROPERTIES LABELS "${ARG_TEST_LABELS}")
  endif()
endfunction()
