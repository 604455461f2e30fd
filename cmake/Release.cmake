# What a host ships: `cmake --install` and the zip CPack makes from it hold
# the programs named with ship_program(), the documents below and nothing
# else (no test program, benchmark or test plug-in).
set(RELEASE_NAME orvane-plugin-scan)
set(RELEASE_DOC_DIR share/doc/${RELEASE_NAME})

# Builds only what is shipped, so that packing never waits on the tests.
add_custom_target(shipped)

# Installs target's program into bin/ and makes `shipped` build it.
function(ship_program target)
  install(TARGETS ${target} RUNTIME DESTINATION bin)
  add_dependencies(shipped ${target})
endfunction()

# Installs a DLL into bin/, its import library for MinGW into lib/, the
# header into include/ and the .def file other toolchains make their
# import library from into lib/.
function(ship_library target header def_file)
  install(TARGETS ${target} RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
  install(FILES ${header} DESTINATION include)
  install(FILES ${def_file} DESTINATION lib)
  add_dependencies(shipped ${target})
endfunction()

install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/LICENSE.txt
  ${CMAKE_SOURCE_DIR}/docs/results.schema.json
  DESTINATION ${RELEASE_DOC_DIR})

# `cmake --install` (and CPack) installs what is built, without building
# everything first: scripts/package builds `shipped` itself.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME ${RELEASE_NAME})
set(CPACK_PACKAGE_VENDOR Orvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME ${RELEASE_NAME}-${PROJECT_VERSION}-windows-x64)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Scans VST 2 plug-ins for audio hosts, safely")
# Shipped programs lose their symbol tables: a host gets smaller files, and
# crash dumps are read by module and offset, never by symbol.
set(CPACK_STRIP_FILES ON)
