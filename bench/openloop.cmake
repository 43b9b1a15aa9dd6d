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
