# Manual pages: made with help2man from each tool's --help and --version, and compressed as Debian ships them.
# ShapeDesk's page is written by hand (ShapeDesk.1), as a window program's options say little about it.
find_program(KRV_HELP2MAN help2man)
if(KRV_HELP2MAN)
  krv_feature("manual pages" ON)
else()
  message(STATUS "help2man not found: manual pages of krvctl, pexcard and krvregsvr are not made")
  krv_feature("manual pages" OFF)
endif()

set(KRV_MAN_DIR ${CMAKE_CURRENT_BINARY_DIR}/man)
set(KRV_MAN_PAGES)

# krv_help2man(<target> <page name> <one-line description> <include file> <component>)
function(krv_help2man target page description include component)
  if(NOT TARGET ${target} OR NOT KRV_HELP2MAN)
    return()
  endif()
  set(out ${KRV_MAN_DIR}/${page}.1)
  add_custom_command(OUTPUT ${out}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KRV_MAN_DIR}
    COMMAND ${KRV_HELP2MAN} --no-info --section=1 "--name=${description}" --include=${include}
            --output=${out} $<TARGET_FILE:${target}>
    COMMAND ${KRV_GZIP} -9nf ${out}
    DEPENDS ${target} ${include} VERBATIM)
  set(KRV_MAN_PAGES ${KRV_MAN_PAGES} ${out}.gz PARENT_SCOPE)
  install(FILES ${out}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endfunction()

set(_man ${CMAKE_CURRENT_SOURCE_DIR}/man)
krv_help2man(krvctl_dist krvctl "MirrorKit profiles, demo, doctor and install directory" ${_man}/krvctl.h2m runtime)
krv_help2man(pexcard pexcard "make and inspect emulated PCIe interface cards of MirrorKit" ${_man}/pexcard.h2m runtime)
krv_help2man(krvregsvr krvregsvr "register MirrorKit's in-process servers in its registry store" ${_man}/krvregsvr.h2m
             runtime)

if(TARGET ShapeDesk)
  add_custom_command(OUTPUT ${KRV_MAN_DIR}/ShapeDesk.1.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KRV_MAN_DIR}
    COMMAND ${KRV_GZIP} -9nc ${_man}/ShapeDesk.1 > ${KRV_MAN_DIR}/ShapeDesk.1.gz
    DEPENDS ${_man}/ShapeDesk.1 VERBATIM)
  list(APPEND KRV_MAN_PAGES ${KRV_MAN_DIR}/ShapeDesk.1.gz)
  install(FILES ${KRV_MAN_DIR}/ShapeDesk.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT desktop)
endif()
add_custom_target(krv_man_pages ALL DEPENDS ${KRV_MAN_PAGES})
