# Shared build settings: warnings, hidden visibility, sanitizers, test registration.

set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_C_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)

add_library(krv_warnings INTERFACE)
target_compile_options(krv_warnings INTERFACE -Wall -Wextra -Wno-unused-parameter)

# The paths of the source and build trees stay out of the binaries: file names in log locations, assertions
# and debug information are relative to the top of the tree ("./core/src/..."), as in Debian's own builds.
# (A debugger finds the sources when started from the top of the tree, or with its source-directory setting.)
add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}=.)

# Hardening, as Debian builds its packages: stack protection, format checks, checked string and memory calls
# where the optimiser can check them (not in sanitizer and fuzzing builds, which check more themselves), and
# relocations resolved and made read-only at load.
add_compile_options(-fstack-protector-strong -fstack-clash-protection -Wformat -Werror=format-security)
add_link_options(-Wl,-z,relro -Wl,-z,now)

# Environment every test runs with. log4cxx 1.0's rolling appender frees its private part through the base
# type, which AddressSanitizer reports at exit; that mismatch is inside the library, not in the kit.
set(KRV_TEST_ENV "")
# Tests' time limits are multiplied by this: ThreadSanitizer runs the kit five to fifteen times slower.
set(KRV_TEST_TIMEOUT_SCALE 1)
string(TOLOWER "${KRV_SANITIZE}" _krv_sanitize)
if(_krv_sanitize STREQUAL "thread")
  set(KRV_TEST_TIMEOUT_SCALE 4)
  # The system's libraries are not instrumented, so the sanitizer cannot see how their worker threads hand work
  # over and reports their parallel loops as races: BLAS runs on one thread here, and the open-loop tests run
  # OpenCV's loops on the calling thread (openloop/tests/SerialOpenCV.h). For the same reason the sanitizer's
  # checks of calls made from inside those libraries (memmove, epoll_wait, ... in gRPC and Abseil, synchronised by
  # their own uninstrumented locks) are left out; every access made by the kit's own code is still checked.
  # gRPC's callback code compiled into the kit meets its own hand-offs made inside libgrpc: see the file.
  set(KRV_TSAN_OPTIONS "halt_on_error=1:second_deadlock_stack=1:ignore_noninstrumented_modules=1:suppressions=${PROJECT_SOURCE_DIR}/cmake/tsan-grpc.supp")
  set(KRV_TEST_ENV "TSAN_OPTIONS=${KRV_TSAN_OPTIONS}" "OPENBLAS_NUM_THREADS=1")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(KRV_SANITIZE)
  set(KRV_TEST_ENV "ASAN_OPTIONS=detect_leaks=1:verify_asan_link_order=0:new_delete_type_mismatch=0"
                   "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# Fuzzing build (a separate build directory configured with clang, see scripts/fuzz.sh): every library is
# compiled with libFuzzer's coverage hooks, AddressSanitizer and UndefinedBehaviorSanitizer; the fuzz targets in
# fuzz/ link libFuzzer's driver. Each fuzz target is registered with CTest for a bounded run.
option(KRV_FUZZ "Build the libFuzzer targets in fuzz/ (needs clang)" OFF)
if(KRV_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR NOT CMAKE_C_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "KRV_FUZZ needs clang with libFuzzer (Debian: clang, libclang-rt-14-dev); configure a "
                        "separate build directory with -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++")
  endif()
  if(KRV_SANITIZE)
    message(FATAL_ERROR "KRV_FUZZ already builds with AddressSanitizer and UndefinedBehaviorSanitizer; "
                        "leave KRV_SANITIZE off")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  enable_testing()
endif()

# The group the kit's users share: it may use the USB drive units and write the data folder (packaging), and
# it is given the system-wide PCIe transfer lock whoever creates it.
set(KRV_DEVICE_GROUP plugdev CACHE STRING "Group that shares the kit: data folder, USB drive units, PCIe transfer lock")

if(NOT KRV_SANITIZE AND NOT KRV_FUZZ)
  add_compile_definitions($<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
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

# krv_test_timeout(seconds test...): the time limit of the tests, scaled for the sanitizer build.
function(krv_test_timeout seconds)
  math(EXPR scaled "${seconds} * ${KRV_TEST_TIMEOUT_SCALE}")
  set_tests_properties(${ARGN} PROPERTIES TIMEOUT ${scaled})
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
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "${env}" SKIP_RETURN_CODE 77)
  krv_test_timeout(600 ${name})
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()

# Installation: GNU directories; every deliverable installs through krv_install so that the CMake package,
# pkg-config files and Debian packages see one export set and one set of components.
#
#   krv_install(TARGETS t... [HEADERS h...] [FILES f...] [COMPONENT runtime|dev|python|desktop|emulators] [PLUGIN])
#
# - Shared libraries go to the library directory (version links: the SONAME link with the component, the bare
#   .so link with dev), programs to the program directory, HEADERS to include/mirrorkit (dev). Libraries and
#   programs of runtime and dev join the export set MirrorKitTargets under the name MirrorKit::<name>, where
#   <name> is the target's name without a leading "KRV_" or "lib" (KRV4, OpenLoop4, PCIeAPI4, USBAPI4, Zernike,
#   KRVMatlabIF4, ...);
#   the same names exist as aliases in the build tree.
# - PLUGIN: libraries that the kit loads by path at run time (the host-driver server) go to
#   <libdir>/mirrorkit, without version links and outside the export set.
# - COMPONENT python: modules go where Debian's python3 finds them for the prefix given at install time
#   (lib/python3/dist-packages under /usr, lib/python3.<minor>/dist-packages elsewhere, which covers /usr/local);
#   FILES (pure-Python files, or package folders of which the *.py files are taken) go with them.
# - COMPONENT desktop: programs to the program directory; FILES by kind: *.desktop to share/applications,
#   *.svg to share/icons/hicolor/scalable/apps, other images to share/pixmaps.
# - COMPONENT emulators (hardware emulators for trying the kit without hardware, never needed by the runtime):
#   libraries to the library directory under their SONAME only (they are loaded at run time, not linked against),
#   programs to the program directory; outside the export set.
# - FILES of runtime or dev go to share/mirrorkit.
# Installed binaries find the kit's libraries through a run path relative to their own folder ($ORIGIN), so an
# installed tree can be moved (DESTDIR, --prefix) and still run.
# On Debian the multiarch library folder is searched by the loader, pkg-config and CMake for /usr and /usr/local
# alike, so it is used for every prefix (GNUInstallDirs picks it only for /usr).
if(CMAKE_LIBRARY_ARCHITECTURE AND NOT DEFINED CMAKE_INSTALL_LIBDIR)
  set(CMAKE_INSTALL_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}" CACHE PATH "Object code libraries (lib)")
endif()
include(GNUInstallDirs)
set(KRV_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/mirrorkit)
set(KRV_INSTALL_PLUGINDIR ${CMAKE_INSTALL_LIBDIR}/mirrorkit)
set(KRV_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/MirrorKit)
execute_process(COMMAND ${KRV_PYTHON3} -c "import sys; print('%d.%d' % sys.version_info[:2])"
                OUTPUT_VARIABLE KRV_PYTHON3_VERSION OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT KRV_PYTHON3_VERSION)
  set(KRV_PYTHON3_VERSION 3)
endif()

# Run path from an install folder (relative to the prefix) to the library folder.
function(_krv_origin_rpath out dir)
  file(RELATIVE_PATH rel /prefix/${dir} /prefix/${CMAKE_INSTALL_LIBDIR})
  if(rel STREQUAL "")
    set(${out} "$ORIGIN" PARENT_SCOPE)
  else()
    set(${out} "$ORIGIN/${rel}" PARENT_SCOPE)
  endif()
endfunction()

function(krv_install)
  cmake_parse_arguments(I "PLUGIN" "COMPONENT" "TARGETS;HEADERS;FILES" ${ARGN})
  if(NOT I_COMPONENT)
    set(I_COMPONENT runtime)
  endif()
  if(NOT I_COMPONENT MATCHES "^(runtime|dev|python|desktop|emulators)$")
    message(FATAL_ERROR "krv_install: unknown component ${I_COMPONENT}")
  endif()
  # The packaging folder makes a package for every component that has something in it.
  set_property(GLOBAL APPEND PROPERTY KRV_INSTALL_COMPONENTS ${I_COMPONENT})

  if(I_COMPONENT STREQUAL "python")
    # The folder depends on the prefix, which is known only when installing (cmake --install --prefix, CPack).
    install(CODE "
      if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
        set(KRV_PYTHON_DIR lib/python3/dist-packages)
      else()
        set(KRV_PYTHON_DIR lib/python${KRV_PYTHON3_VERSION}/dist-packages)
      endif()" COMPONENT python)
    if(I_TARGETS)
      # Both candidate folders lie at the same depth, so one run path serves either.
      _krv_origin_rpath(rpath lib/python3/dist-packages)
      set_target_properties(${I_TARGETS} PROPERTIES INSTALL_RPATH "${rpath}")
      install(TARGETS ${I_TARGETS}
        LIBRARY DESTINATION \${KRV_PYTHON_DIR} COMPONENT python NAMELINK_SKIP
        RUNTIME DESTINATION \${KRV_PYTHON_DIR} COMPONENT python)
    endif()
    foreach(f ${I_FILES})
      if(IS_DIRECTORY ${f})
        install(DIRECTORY ${f} DESTINATION \${KRV_PYTHON_DIR} COMPONENT python
          FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)
      else()
        install(FILES ${f} DESTINATION \${KRV_PYTHON_DIR} COMPONENT python)
      endif()
    endforeach()
  elseif(I_PLUGIN)
    _krv_origin_rpath(rpath ${KRV_INSTALL_PLUGINDIR})
    set_target_properties(${I_TARGETS} PROPERTIES INSTALL_RPATH "${rpath}")
    install(TARGETS ${I_TARGETS}
      LIBRARY DESTINATION ${KRV_INSTALL_PLUGINDIR} COMPONENT ${I_COMPONENT} NAMELINK_SKIP)
  elseif(I_TARGETS)
    foreach(t ${I_TARGETS})
      get_target_property(type ${t} TYPE)
      if(type STREQUAL "EXECUTABLE")
        _krv_origin_rpath(rpath ${CMAKE_INSTALL_BINDIR})
      else()
        set(rpath "$ORIGIN")
      endif()
      set_target_properties(${t} PROPERTIES INSTALL_RPATH "${rpath}")
      # One naming rule for every export: no "KRV_" or "lib" in front (libKRVMatlabIF4 is MirrorKit::KRVMatlabIF4).
      string(REGEX REPLACE "^(KRV_|lib)" "" name ${t})
      set_target_properties(${t} PROPERTIES EXPORT_NAME ${name})
      if(TARGET MirrorKit::${name})
      elseif(type STREQUAL "EXECUTABLE")
        add_executable(MirrorKit::${name} ALIAS ${t})
      else()
        add_library(MirrorKit::${name} ALIAS ${t})
      endif()
    endforeach()
    if(I_COMPONENT STREQUAL "desktop")
      install(TARGETS ${I_TARGETS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT desktop)
    elseif(I_COMPONENT STREQUAL "emulators")
      install(TARGETS ${I_TARGETS}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT emulators NAMELINK_SKIP
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT emulators)
    else()
      install(TARGETS ${I_TARGETS} EXPORT MirrorKitTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ${I_COMPONENT} NAMELINK_COMPONENT dev
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${I_COMPONENT}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
        INCLUDES DESTINATION ${KRV_INSTALL_INCLUDEDIR})
    endif()
  endif()

  if(I_HEADERS)
    install(FILES ${I_HEADERS} DESTINATION ${KRV_INSTALL_INCLUDEDIR} COMPONENT dev)
  endif()
  if(I_FILES AND NOT I_COMPONENT STREQUAL "python")
    foreach(f ${I_FILES})
      if(NOT I_COMPONENT STREQUAL "desktop")
        set(dest ${CMAKE_INSTALL_DATADIR}/mirrorkit)
      elseif(f MATCHES "\\.desktop$")
        set(dest ${CMAKE_INSTALL_DATADIR}/applications)
      elseif(f MATCHES "\\.svg$")
        set(dest ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
      else()
        set(dest ${CMAKE_INSTALL_DATADIR}/pixmaps)
      endif()
      install(FILES ${f} DESTINATION ${dest} COMPONENT ${I_COMPONENT})
    endforeach()
  endif()
endfunction()
