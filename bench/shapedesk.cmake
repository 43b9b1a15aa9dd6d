# ShapeDesk: one Zernike slider step of the window against the controller's Zernike call alone, and Poke All.
if(TARGET shapedesk_ui AND TARGET krv_testdata)
  krv_add_benchmark(shapedesk_bench
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/shapedesk_window.cpp
    LIBS shapedesk_ui krv_core)
  target_compile_definitions(shapedesk_bench PRIVATE
    KRV_BENCH_TESTDATA_DIR="${KRV_TESTDATA_DIR}"
    KRV_BENCH_OPENLOOP_LIBRARY="$<TARGET_FILE:KRV_OpenLoop4>")
  add_dependencies(shapedesk_bench krv_testdata)
else()
  message(STATUS "shapedesk_bench disabled: needs ShapeDesk and the generated calibration tables")
endif()
