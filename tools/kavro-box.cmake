# kavro-box: the box simulator (a script) and the FreeType stand-in it binds
# over the real library inside the sandbox. The stand-in lives in a folder of
# its own so that nothing else ever loads it by accident. Only with the
# installer, which it runs.
if(KAVRO_INSTALLER)
  add_library(kavro_freetype_standin SHARED freetype_standin.c)
  set_target_properties(kavro_freetype_standin PROPERTIES
    OUTPUT_NAME freetype
    VERSION 6.99.0
    SOVERSION 6
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib/kavro-box)

  configure_file(kavro-box ${CMAKE_BINARY_DIR}/bin/kavro-box @ONLY)
  add_custom_target(kavro-box ALL)
  add_dependencies(kavro-box kavro_freetype_standin kavro-install)
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
