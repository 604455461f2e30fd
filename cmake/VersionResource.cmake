# Gives a shipped executable or DLL a Windows version resource, so that
# Explorer's properties and a host's logs show which build it is.
#   add_version_resource(TARGET "What it is" FILENAME)
set(VERSION_RESOURCE_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/../resources/Version.rc.in)

function(add_version_resource target description file_name)
  set(VERSION_DESCRIPTION "${description}")
  set(VERSION_FILE_NAME "${file_name}")
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "SHARED_LIBRARY")
    set(VERSION_FILE_TYPE VFT_DLL)
  else()
    set(VERSION_FILE_TYPE VFT_APP)
  endif()
  set(script ${CMAKE_BINARY_DIR}/version/${target}.rc)
  configure_file(${VERSION_RESOURCE_TEMPLATE} ${script} @ONLY)
  target_sources(${target} PRIVATE ${script})
endfunction()
