# The PCIe demo step needs the back end; it loads the emulated-card library (pexemu) at run time, so that krvctl
# runs, and its other steps pass, where that library is not installed.
if(TARGET KRV_PCIeAPI4 AND TARGET pexemu)
  target_link_libraries(krvctl_main PUBLIC KRV_PCIeAPI4 ${CMAKE_DL_LIBS})
  target_include_directories(krvctl_main PRIVATE $<TARGET_PROPERTY:pexemu,INTERFACE_INCLUDE_DIRECTORIES>)
  add_dependencies(krvctl pexemu)
  add_dependencies(krvctl_dist pexemu)
else()
  set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/demo_pcie.cpp PROPERTIES HEADER_FILE_ONLY ON)
endif()
