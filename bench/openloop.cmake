# Open-loop benchmarks, each against a baseline measured in the same run.

# MAT reading: the kit's reader against libmatio (used here only) on the generated 4092-actuator table.
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(MATIO QUIET IMPORTED_TARGET matio)
endif()
if(TARGET PkgConfig::MATIO AND TARGET krv_matreader AND TARGET krv_testdata_big)
  krv_add_benchmark(openloop_mat_bench
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/openloop_mat.cpp
    LIBS krv_matreader PkgConfig::MATIO)
  target_compile_definitions(openloop_mat_bench PRIVATE KRV_BENCH_TESTDATA_DIR="${KRV_TESTDATA_DIR}")
  add_dependencies(openloop_mat_bench krv_testdata_big)
else()
  message(STATUS "openloop_mat_bench disabled: needs libmatio (pkg-config matio), the MAT reader and the generator")
endif()

# Calibration load against dgetrf, the surface solve against resampling plus a mat-vec, Zernike surfaces against
# a tuned sum; each prints its ratios and exits nonzero when a goal is missed.
if(TARGET KRV_OpenLoop4 AND TARGET krv_testdata_big)
  find_package(LAPACK REQUIRED)
  krv_add_benchmark(openloop_load_bench
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/openloop_load.cpp
    LIBS krv_openloop_impl LAPACK::LAPACK)
  krv_add_benchmark(openloop_surface_bench
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/openloop_surface.cpp
    LIBS KRV4 KRV_OpenLoop4 krv_openloop_impl LAPACK::LAPACK)
  target_compile_definitions(openloop_surface_bench PRIVATE
    KRV_BENCH_OPENLOOP_LIBRARY="$<TARGET_FILE:KRV_OpenLoop4>")
  foreach(b openloop_load_bench openloop_surface_bench)
    target_compile_definitions(${b} PRIVATE KRV_BENCH_TESTDATA_DIR="${KRV_TESTDATA_DIR}")
    add_dependencies(${b} krv_testdata_big krv_testdata)
  endforeach()
else()
  message(STATUS "openloop_load_bench, openloop_surface_bench disabled: need the open-loop library and the generator")
endif()
if(TARGET KRV_OpenLoop4)
  find_package(LAPACK REQUIRED)
  krv_add_benchmark(openloop_zernike_bench
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/openloop_zernike.cpp
    LIBS KRV4 KRV_OpenLoop4 Zernike krv_core LAPACK::LAPACK)
endif()
