# kavro-box: the box simulator (a script) and the FreeType stand-in it binds
# over the real library inside the sandbox. The stand-in lives in a folder of
# its own so that nothing else ever loads it by accident. Only with the
# installer, which it runs.
#
# The script finds kavro-install next to its own real location, and the
# stand-in at KAVRO_BOX_STANDIN from there:
#   build tree:  bin/kavro-box, bin/kavro-install, lib/kavro-box/libfreetype.so.6
#   installed:   libexec/kavro/kavro-box, libexec/kavro/kavro-install (its
#                rule is in installer/), LIBDIR/kavro/libfreetype.so.6, and
#                bin/kavro-box a link to the script
if(KAVRO_INSTALLER)
  add_library(kavro_freetype_standin SHARED freetype_standin.c)
  set_target_properties(kavro_freetype_standin PROPERTIES
    OUTPUT_NAME freetype
    VERSION 6.99.0
    SOVERSION 6
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib/kavro-box)

  set(KAVRO_BOX_STANDIN ../lib/kavro-box/libfreetype.so.6)
  configure_file(kavro-box ${CMAKE_BINARY_DIR}/bin/kavro-box @ONLY)
  add_custom_target(kavro-box ALL)
  add_dependencies(kavro-box kavro_freetype_standin kavro-install)

  set(box_libexec ${CMAKE_INSTALL_LIBEXECDIR}/kavro)
  set(box_standin ${CMAKE_INSTALL_LIBDIR}/kavro)
  file(RELATIVE_PATH standin_dir ${CMAKE_INSTALL_FULL_LIBEXECDIR}/kavro ${CMAKE_INSTALL_FULL_LIBDIR}/kavro)
  set(KAVRO_BOX_STANDIN ${standin_dir}/libfreetype.so.6)
  configure_file(kavro-box ${CMAKE_CURRENT_BINARY_DIR}/installed/kavro-box @ONLY)
  file(RELATIVE_PATH script ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBEXECDIR}/kavro/kavro-box)
  file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/installed/bin)
  file(CREATE_LINK ${script} ${CMAKE_CURRENT_BINARY_DIR}/installed/bin/kavro-box SYMBOLIC)

  install(PROGRAMS ${CMAKE_CURRENT_BINARY_DIR}/installed/kavro-box DESTINATION ${box_libexec} COMPONENT tools)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/installed/bin/kavro-box DESTINATION ${CMAKE_INSTALL_BINDIR}
    COMPONENT tools)
  install(TARGETS kavro_freetype_standin LIBRARY DESTINATION ${box_standin} COMPONENT tools NAMELINK_SKIP)
endif()

# Placeholder payloads for the demo data disk (tools/demo.sh packs them).
if(KAVRO_INSTALLER)
  set(KAVRO_DEMO_PAYLOADS ${CMAKE_BINARY_DIR}/demo/payloads)
  add_custom_command(
    OUTPUT ${KAVRO_DEMO_PAYLOADS}/kavro-2.cfg
    COMMAND ${CMAKE_COMMAND} -DOUT=${KAVRO_DEMO_PAYLOADS} -P ${CMAKE_CURRENT_SOURCE_DIR}/kavro-box-payloads.cmake
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/kavro-box-payloads.cmake
    COMMENT "Writing the demo's placeholder payloads")
  add_custom_target(kavro_demo_payloads ALL DEPENDS ${KAVRO_DEMO_PAYLOADS}/kavro-2.cfg)
endif()
