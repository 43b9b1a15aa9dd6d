# Shared build settings: warnings, hidden visibility, sanitizers, test registration.

set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_C_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)

add_library(krv_warnings INTERFACE)
target_compile_options(krv_warnings INTERFACE -Wall -Wextra -Wno-unused-parameter)

# Environment every test runs with. log4cxx 1.0's rolling appender frees its private part through the base
# type, which AddressSanitizer reports at exit; that mismatch is inside the library, not in the kit.
set(KRV_TEST_ENV "")
string(TOLOWER "${KRV_SANITIZE}" _krv_sanitize)
if(_krv_sanitize STREQUAL "thread")
  # The system's libraries are not instrumented, so the sanitizer cannot see how their worker threads hand work
  # over and reports their parallel loops as races: BLAS runs on one thread here, and the open-loop tests run
  # OpenCV's loops on the calling thread (openloop/tests/SerialOpenCV.h).
  set(KRV_TEST_ENV "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1" "OPENBLAS_NUM_THREADS=1")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(KRV_SANITIZE)
  set(KRV_TEST_ENV "ASAN_OPTIONS=detect_leaks=1:verify_asan_link_order=0:new_delete_type_mismatch=0"
                   "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# Python scripts always run on Debian's own interpreter, which has Debian's python3-* packages.
set(KRV_PYTHON3 /usr/bin/python3 CACHE FILEPATH "Debian's python3")

set(KRV_FEATURES "" CACHE INTERNAL "")
function(krv_feature name state)
  set(KRV_FEATURES "${KRV_FEATURES};${name}=${state}" CACHE INTERNAL "")
endfunction()

function(krv_feature_summary)
  message(STATUS "MirrorKit feature summary:")
  message(STATUS "  sanitizers: ${KRV_SANITIZE}")
  foreach(f ${KRV_FEATURES})
    if(f)
      message(STATUS "  ${f}")
    endif()
  endforeach()
endfunction()

# krv_add_gtest(name SOURCES ... LIBS ... [ENV k=v ...] [WRAPPER cmd ...])
# One test executable per topic, registered with CTest as a whole.
# A program in which any test was skipped exits with 77, and CTest counts it as skipped, not passed.
function(krv_add_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;ENV;WRAPPER;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE GTest::gtest krv_gtest_main krv_warnings ${T_LIBS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  add_test(NAME ${name} COMMAND ${T_WRAPPER} $<TARGET_FILE:${name}>)
  set(env "KRV_TEST_BINARY_DIR=${CMAKE_BINARY_DIR}" ${KRV_TEST_ENV} ${T_ENV})
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "${env}" SKIP_RETURN_CODE 77 TIMEOUT 600)
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()

# Installation: GNU directories; every deliverable installs through krv_install so that the CMake package,
# pkg-config files and Debian packages see one export set and one set of components.
#   krv_install(TARGETS t... [HEADERS h...] [COMPONENT runtime|dev|python|desktop])
include(GNUInstallDirs)
function(krv_install)
  cmake_parse_arguments(I "" "COMPONENT" "TARGETS;HEADERS" ${ARGN})
  if(NOT I_COMPONENT)
    set(I_COMPONENT runtime)
  endif()
  if(I_TARGETS)
    install(TARGETS ${I_TARGETS} EXPORT MirrorKitTargets
      LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ${I_COMPONENT} NAMELINK_COMPONENT dev
      RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${I_COMPONENT}
      ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
      INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/mirrorkit)
  endif()
  if(I_HEADERS)
    install(FILES ${I_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/mirrorkit COMPONENT dev)
  endif()
endfunction()
