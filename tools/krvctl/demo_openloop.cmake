# The open-loop demo step: the open-loop library, OpenCV for its picture, and the small MAT writer for its table.
if(TARGET KRV_OpenLoop4)
  find_package(OpenCV REQUIRED COMPONENTS core imgproc imgcodecs)
  target_link_libraries(krvctl_main PUBLIC KRV_OpenLoop4 opencv_core opencv_imgproc opencv_imgcodecs)
  target_include_directories(krvctl_main PRIVATE ${PROJECT_SOURCE_DIR}/openloop/support ${OpenCV_INCLUDE_DIRS})
else()
  set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/demo_openloop.cpp PROPERTIES HEADER_FILE_ONLY ON)
endif()
