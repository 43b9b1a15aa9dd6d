# The USB demo step needs the back end, the host-driver server and the emulated drive units.
if(TARGET KRV_USBAPI4 AND TARGET Dravix AND TARGET krv_usb_units)
  target_link_libraries(krvctl PRIVATE KRV_USBAPI4 krv_usb_units krv_com)
  target_compile_definitions(krvctl PRIVATE DRAVIX_FILE_NAME="$<TARGET_FILE_NAME:Dravix>")
  add_dependencies(krvctl Dravix)
else()
  set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/demo_usb.cpp PROPERTIES HEADER_FILE_ONLY ON)
endif()
