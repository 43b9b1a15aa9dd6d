# USB frame output: KRVSetArray to an emulated 160-channel unit against a bare libusb bulk transfer of the same size.
if(TARGET KRV_USBAPI4 AND TARGET Dravix AND TARGET krv_usb_units AND TARGET krv_testsupport)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(BENCH_LIBUSB REQUIRED IMPORTED_TARGET libusb-1.0)
  krv_add_benchmark(usb_frames_bench
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/usb_frames.cpp
    LIBS KRV4 KRV_USBAPI4 krv_usb_units krv_testsupport krv_com PkgConfig::BENCH_LIBUSB)
  target_compile_definitions(usb_frames_bench PRIVATE DRAVIX_PATH="$<TARGET_FILE:Dravix>")
  add_dependencies(usb_frames_bench Dravix)
endif()
