# The PCIe demo step needs the back end and the card emulator that makes the card images.
if(TARGET KRV_PCIeAPI4 AND TARGET krv_emu_pcie)
  target_link_libraries(krvctl_main PUBLIC KRV_PCIeAPI4 krv_emu_pcie)
else()
  set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/demo_pcie.cpp PROPERTIES HEADER_FILE_ONLY ON)
endif()
