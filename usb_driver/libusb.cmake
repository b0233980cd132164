# The local bus (projectors on this computer's USB ports, through libusb-1.0),
# the udev rule that lets a desktop user reach them, and the tests of the bus
# through the real libusb on umockdev's emulated USB. Off with
# -DQRV_WITH_LIBUSB=OFF: the driver then has no local bus.
if(NOT QRV_WITH_LIBUSB)
  return()
endif()

find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBUSB REQUIRED IMPORTED_TARGET GLOBAL libusb-1.0)

add_library(usb_driver_libusb STATIC libusb_bus.cpp libusb_descriptors.cpp)
target_include_directories(usb_driver_libusb PUBLIC include PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(usb_driver_libusb PUBLIC Threads::Threads PRIVATE PkgConfig::LIBUSB)
set_target_properties(usb_driver_libusb PROPERTIES POSITION_INDEPENDENT_CODE ON)

# The driver makes a LibusbBus when QRV_USBIP names no server.
if(TARGET usb_driver)
  target_link_libraries(usb_driver PUBLIC usb_driver_libusb)
  target_compile_definitions(usb_driver PRIVATE QRV_HAVE_LIBUSB_BUS=1)
endif()

# udev reads rules from /usr/lib/udev/rules.d (prefix /usr) and /etc/udev/rules.d.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/70-tz4817.rules DESTINATION lib/udev/rules.d)


if(QRV_BUILD_TESTS AND TARGET tz4817_device)
  pkg_check_modules(UMOCKDEV IMPORTED_TARGET GLOBAL umockdev-1.0)
  if(NOT UMOCKDEV_FOUND)
    message(WARNING "umockdev-1.0 not found: the tests of the libusb bus are not built (apt-get install libumockdev-dev)")
  else()
    # libumockdev-preload must be loaded at start-up (as umockdev-wrapper
    # would preload it): linked in without --as-needed it is, and after the
    # sanitizer runtime, which must come first.
    set(USB_DRIVER_LIBUSB_TEST_SOURCES tests/libusb_bus_test.cpp tests/umockdev_projector.cpp)
    add_executable(usb_driver_libusb_tests ${USB_DRIVER_LIBUSB_TEST_SOURCES})
    target_include_directories(usb_driver_libusb_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(usb_driver_libusb_tests PRIVATE
      usb_driver_libusb tz4817_device PkgConfig::UMOCKDEV PkgConfig::LIBUSB GTest::gtest_main
      "-Wl,--no-as-needed" umockdev-preload)
    # The tests inject faults into libusb's event handling as the bus calls it.
    target_link_options(usb_driver_libusb_tests PRIVATE
      "-Wl,--wrap=libusb_handle_events_completed" "-Wl,--wrap=libusb_handle_events_timeout_completed")
    qrv_discover_tests(usb_driver_libusb_tests LABELS driver libusb tsan
      PROPERTIES TIMEOUT 120 DISCOVERY_TIMEOUT 60)
  endif()
endif()

# The whole stack on the local bus needs the transport and flash libraries,
# whose folders come after this one: defined once the top level is read.
function(usb_driver_libusb_stack_tests)
  if(NOT TARGET usb_driver_libusb_tests OR NOT TARGET qrvdl_static OR NOT TARGET qrvusb_static)
    return()
  endif()
  set(dir ${PROJECT_SOURCE_DIR}/usb_driver)
  add_executable(usb_driver_libusb_stack_tests ${dir}/tests/libusb_stack_test.cpp ${dir}/tests/umockdev_projector.cpp)
  target_include_directories(usb_driver_libusb_stack_tests PRIVATE ${dir})
  target_link_libraries(usb_driver_libusb_stack_tests PRIVATE
    qrvdl_static qrvusb_static usb_driver usb_driver_libusb tz4817_device PkgConfig::UMOCKDEV GTest::gtest_main
    "-Wl,--no-as-needed" umockdev-preload)
  qrv_discover_tests(usb_driver_libusb_stack_tests LABELS driver libusb tsan
    PROPERTIES TIMEOUT 180 DISCOVERY_TIMEOUT 60)
endfunction()
if(QRV_BUILD_TESTS)
  cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL usb_driver_libusb_stack_tests)
endif()
