# SPDX-License-Identifier: MIT
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
target_link_libraries(usb_driver_libusb PUBLIC usb_driver_claim Threads::Threads PRIVATE PkgConfig::LIBUSB)

# The driver makes a LibusbBus when QRV_USBIP names no server.
target_link_libraries(usb_driver PUBLIC usb_driver_libusb)
target_compile_definitions(usb_driver PRIVATE QRV_HAVE_LIBUSB_BUS=1)

# udev reads rules from /usr/lib/udev/rules.d (prefix /usr) and /etc/udev/rules.d.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/70-tz4817.rules DESTINATION lib/udev/rules.d)

if(QRV_BUILD_TESTS)
  add_executable(usb_driver_libusb_tests tests/libusb_bus_test.cpp)
  target_include_directories(usb_driver_libusb_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(usb_driver_libusb_tests PRIVATE
    usb_driver_libusb test_support_umockdev tz4817_device usb_standard PkgConfig::LIBUSB GTest::gtest_main)
  # The bus on its event thread; status and descriptor conversions on one.
  qrv_discover_tests(usb_driver_libusb_tests LABELS driver libusb THREADED "LibusbBusTest\\."
    PROPERTIES TIMEOUT 120 DISCOVERY_TIMEOUT 60)
  # The tests inject faults into libusb's event handling as the bus calls it.
  target_link_options(usb_driver_libusb_tests PRIVATE
    "-Wl,--wrap=libusb_handle_events_completed" "-Wl,--wrap=libusb_handle_events_timeout_completed")
endif()
