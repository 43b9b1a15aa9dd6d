# The mirror server: StreamFrames and unary Send of 952-value frames against a bare gRPC service of the same sizes,
# and channel summing against a plain loop.
if(TARGET krv_server)
  find_package(Protobuf QUIET)
  find_package(gRPC CONFIG QUIET)
  set(_gen ${CMAKE_CURRENT_BINARY_DIR}/bare)
  set(_bare ${_gen}/bare.pb.cc ${_gen}/bare.pb.h ${_gen}/bare.grpc.pb.cc ${_gen}/bare.grpc.pb.h)
  add_custom_command(
    OUTPUT ${_bare}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_gen}
    COMMAND ${Protobuf_PROTOC_EXECUTABLE} -I${CMAKE_CURRENT_SOURCE_DIR}/proto --cpp_out=${_gen} --grpc_out=${_gen}
            --plugin=protoc-gen-grpc=$<TARGET_FILE:gRPC::grpc_cpp_plugin> ${CMAKE_CURRENT_SOURCE_DIR}/proto/bare.proto
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/proto/bare.proto
    COMMENT "protoc: bare.proto for the benchmark"
    VERBATIM)
  krv_add_benchmark(server_bench
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/server_bench.cpp ${_bare}
    LIBS krv_server krv_core)
  target_include_directories(server_bench SYSTEM PRIVATE ${_gen})
endif()
