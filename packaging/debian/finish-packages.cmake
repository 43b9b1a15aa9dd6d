# Run by CPack after it has built the packages (CPACK_POST_BUILD_SCRIPTS): adds the control fields CPack cannot
# write itself, then rebuilds each package with dpkg-deb.
#   CPACK_KRV_MULTI_ARCH     <package>:<value> pairs for the Multi-Arch field
#   CPACK_KRV_SHLIBS_BELOW   first major version that no longer provides the libraries: every shlibs line asks
#                            for its package at least at this version and below that one
find_program(DPKG_DEB dpkg-deb REQUIRED)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed (${rc}): ${out}${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  run(${DPKG_DEB} --field ${deb} Package)
  string(STRIP "${out}" package)
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  run(${DPKG_DEB} --raw-extract ${deb} ${tree})

  set(control "${tree}/DEBIAN/control")
  file(READ "${control}" text)
  foreach(pair IN LISTS CPACK_KRV_MULTI_ARCH)
    if(pair MATCHES "^${package}:(.+)$")
      set(value "${CMAKE_MATCH_1}")
      string(REGEX REPLACE "Architecture: ([^\n]*)\n" "Architecture: \\1\nMulti-Arch: ${value}\n" text "${text}")
    endif()
  endforeach()
  file(WRITE "${control}" "${text}")

  set(shlibs "${tree}/DEBIAN/shlibs")
  if(EXISTS "${shlibs}" AND CPACK_KRV_SHLIBS_BELOW)
    file(STRINGS "${shlibs}" lines)
    set(text "")
    foreach(line IN LISTS lines)
      string(APPEND text "${line}, ${package} (<< ${CPACK_KRV_SHLIBS_BELOW})\n")
    endforeach()
    file(WRITE "${shlibs}" "${text}")
  endif()

  run(${DPKG_DEB} --root-owner-group -Zgzip --build ${tree} ${deb})
  file(REMOVE_RECURSE "${tree}")
endforeach()
