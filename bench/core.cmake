# Frame round trip through the core on a dummy 4096-actuator mirror against a plain clamp-convert-copy loop.
krv_add_benchmark(core_frames_bench
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/core_frames.cpp
  LIBS KRV4 krv_core)
