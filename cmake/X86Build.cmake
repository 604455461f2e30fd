# The x86 server, for 32-bit plug-ins: the same sources built again by the
# i686 cross compiler, in the sub-build x86/ (its own CMake configure, since
# one CMake build has one compiler). Its server, ScanServer32.exe, is copied
# beside ScanServer.exe, where plugin-scan looks for it, and its test
# plug-ins to bin/plugins-x86; its test programs run here under CTest, in
# this build's Wine prefix, as x86.NAME.
include(ExternalProject)

set(X86_BINARY_DIR ${CMAKE_BINARY_DIR}/x86)
# Make's own jobs reach the sub-build's make only through $(MAKE).
if(CMAKE_GENERATOR MATCHES "Makefiles")
  set(X86_BUILD_TOOL $(MAKE))
else()
  set(X86_BUILD_TOOL ${CMAKE_COMMAND} --build .)
endif()

# The sub-build's step builds its server alone, which is all a release
# (the target `shipped`) needs; x86_everything below builds the rest.
ExternalProject_Add(x86_build
  SOURCE_DIR ${CMAKE_SOURCE_DIR}
  BINARY_DIR ${X86_BINARY_DIR}
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-w64-i686.cmake
    -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
    -DWINE_PREFIX=${WINE_PREFIX}
  BUILD_COMMAND ${X86_BUILD_TOOL} ScanServer
  BUILD_ALWAYS ON
  INSTALL_COMMAND "")

add_custom_target(x86_server ALL
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${X86_BINARY_DIR}/bin/ScanServer32.exe
    ${CMAKE_BINARY_DIR}/bin/ScanServer32.exe
  DEPENDS x86_build
  COMMENT "Copying the x86 server")

# The rest of the sub-build, for a build of everything: its test programs,
# the x86 test plug-in kit and its benchmarks.
add_custom_target(x86_everything ALL
  COMMAND ${X86_BUILD_TOOL}
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${X86_BINARY_DIR}/bin/plugins
    ${CMAKE_BINARY_DIR}/bin/plugins-x86
  WORKING_DIRECTORY ${X86_BINARY_DIR}
  COMMENT "Building the x86 tests and test plug-ins")
add_dependencies(x86_everything x86_server)

# Wine's loader starts a 32-bit program in a prefix with syswow64 (made by
# wineboot once wine32 is installed; scripts/setup sees to it).
file(GLOB X86_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/*Test.cpp)
foreach(source ${X86_TEST_SOURCES})
  get_filename_component(name ${source} NAME_WE)
  add_test(NAME x86.${name}
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-run ${WINE_PREFIX} ${X86_BINARY_DIR}/bin/${name}.exe)
  set_tests_properties(x86.${name} PROPERTIES TIMEOUT 600)
endforeach()

# A release ships the x86 server beside the x64 one. It is no target of
# this build, so a stripping install (CPack's) strips it here: MinGW's x64
# strip reads and writes i386 images as well.
install(PROGRAMS ${CMAKE_BINARY_DIR}/bin/ScanServer32.exe DESTINATION bin)
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_STRIP}\" \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/ScanServer32.exe\")
  endif()")
add_dependencies(shipped x86_server)
