# Manual pages: made with help2man from each program's --help and --version, with the sections of the
# <page>.h2m next to this file, and compressed as Debian ships them.
find_program(KRV_HELP2MAN help2man)
if(KRV_HELP2MAN)
  krv_feature("manual pages" ON)
else()
  message(STATUS "help2man not found: manual pages of krvctl, pexcard, krvregsvr and ShapeDesk are not made")
  krv_feature("manual pages" OFF)
endif()

set(KRV_MAN_DIR ${CMAKE_CURRENT_BINARY_DIR}/man)
set(KRV_MAN_PAGES)

# krv_help2man(<target> <page name> <one-line description> <include file> <component> [<version>])
# <version> for a program without --version.
function(krv_help2man target page description include component)
  if(NOT TARGET ${target} OR NOT KRV_HELP2MAN)
    return()
  endif()
  set(out ${KRV_MAN_DIR}/${page}.1)
  set(version)
  if(ARGC GREATER 5)
    set(version "--version-string=${ARGV5}")
  endif()
  # The window program answers --help without a display on Qt's offscreen platform.
  add_custom_command(OUTPUT ${out}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KRV_MAN_DIR}
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
            ${KRV_HELP2MAN} --no-info --section=1 "--name=${description}" --include=${include} ${version}
            --output=${out} $<TARGET_FILE:${target}>
    COMMAND ${KRV_GZIP} -9nf ${out}
    DEPENDS ${target} ${include} VERBATIM)
  set(KRV_MAN_PAGES ${KRV_MAN_PAGES} ${out}.gz PARENT_SCOPE)
  install(FILES ${out}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endfunction()

set(_man ${CMAKE_CURRENT_SOURCE_DIR}/man)
krv_help2man(krvctl_dist krvctl "MirrorKit profiles, demo, doctor and install directory" ${_man}/krvctl.h2m runtime)
krv_help2man(pexcard pexcard "make and inspect emulated PCIe interface cards of MirrorKit" ${_man}/pexcard.h2m
             emulators)
krv_help2man(krvregsvr krvregsvr "register MirrorKit's in-process servers in its registry store" ${_man}/krvregsvr.h2m
             runtime)

krv_help2man(mirrorkit-server mirrorkit-server "serve this computer's deformable mirrors over gRPC"
             ${_man}/mirrorkit-server.h2m runtime ${PROJECT_VERSION})
krv_help2man(ShapeDesk ShapeDesk "desktop program of MirrorKit: poke, zero and shape a deformable mirror"
             ${_man}/ShapeDesk.h2m desktop)
add_custom_target(krv_man_pages ALL DEPENDS ${KRV_MAN_PAGES})
