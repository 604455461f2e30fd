# The kit's VST3 and CLAP modules: vst3/fake_vst3.cpp and clap/fake_clap.cpp,
# each built into several modules that differ by their DEFINITIONS. They land
# in bin/plugins/vst3 and bin/plugins/clap, a VST3 module either as a single
# file NAME.vst3 or as a bundle NAME.vst3/Contents/<architecture>-win/NAME.vst3.

set(FAKE_VST3_FOLDER ${TEST_PLUGIN_FOLDER}/vst3)
set(FAKE_CLAP_FOLDER ${TEST_PLUGIN_FOLDER}/clap)
if(SERVER_ARCHITECTURE STREQUAL x86)
  set(VST3_OWN_FOLDER x86-win)
  set(VST3_OTHER_FOLDER x86_64-win)
else()
  set(VST3_OWN_FOLDER x86_64-win)
  set(VST3_OTHER_FOLDER x86-win)
endif()

# add_format_fake(NAME vst3|clap [BUNDLE] [DEFINITIONS name=value...])
function(add_format_fake name format)
  cmake_parse_arguments(PARSE_ARGV 2 FAKE "BUNDLE" "" "DEFINITIONS")
  set(target fake_${format}_${name})
  add_library(${target} SHARED ${format}/fake_${format}.cpp ${format}/fake_${format}.def)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(${target} PRIVATE ${FAKE_DEFINITIONS})
  target_compile_options(${target} PRIVATE ${SERVER_WARNINGS} -fno-threadsafe-statics)
  # GetPluginFactory is __stdcall: its x86 symbol carries "@0", which the
  # .def file's plain name is matched to without a warning.
  target_link_options(${target} PRIVATE
    -static-libgcc -static-libstdc++ -static -Wl,--exclude-all-symbols -Wl,--enable-stdcall-fixup)
  if(format STREQUAL vst3)
    set(folder ${FAKE_VST3_FOLDER})
  else()
    set(folder ${FAKE_CLAP_FOLDER})
  endif()
  set(output_folder ${folder})
  if(FAKE_BUNDLE)
    set(output_folder ${CMAKE_CURRENT_BINARY_DIR}/bundle-binaries)
  endif()
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${name}
    PREFIX ""
    SUFFIX .${format}
    RUNTIME_OUTPUT_DIRECTORY ${output_folder}
    ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/import)
  if(FAKE_BUNDLE)
    set(binary_folder ${folder}/${name}.vst3/Contents/${VST3_OWN_FOLDER})
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E make_directory ${binary_folder}
      COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:${target}> ${binary_folder}/${name}.vst3)
  endif()
  add_dependencies(test_plugins ${target})
endfunction()

# VST3.
add_format_fake(Good vst3 BUNDLE)
add_format_fake(PlainFactory vst3 DEFINITIONS FAKE_FACTORY_LEVEL=1)
add_format_fake(Latin1Name vst3 DEFINITIONS FAKE_FACTORY_LEVEL=2 FAKE_LATIN1_NAME=1)
add_format_fake(InitFalse vst3 DEFINITIONS FAKE_INIT_RESULT=false)
add_format_fake(NullFactory vst3 DEFINITIONS FAKE_NULL_FACTORY=1)
add_format_fake(ManyClasses vst3 DEFINITIONS FAKE_CLASS_COUNT=2000000)
add_format_fake(ShortList vst3 DEFINITIONS FAKE_CLASS_COUNT=5 FAKE_DESCRIBED=3)
add_format_fake(ZeroCid vst3 DEFINITIONS FAKE_ZERO_CID=1)
add_format_fake(CrashInstance vst3 DEFINITIONS FAKE_FAULT_IN_INITIALIZE=1)
add_format_fake(OwnFilter vst3 DEFINITIONS FAKE_OWN_FILTER=1)
# One class, as most modules have: the format benchmark's.
add_format_fake(Single vst3 BUNDLE DEFINITIONS FAKE_CLASS_COUNT=1)
# A CLAP module under a VST3 name.
add_format_fake(NotVst3 clap)
set_target_properties(fake_clap_NotVst3 PROPERTIES SUFFIX .vst3 RUNTIME_OUTPUT_DIRECTORY ${FAKE_VST3_FOLDER})
# A bundle whose only binary is for the other architecture.
file(MAKE_DIRECTORY ${FAKE_VST3_FOLDER}/OtherArchitecture.vst3/Contents/${VST3_OTHER_FOLDER})
file(TOUCH ${FAKE_VST3_FOLDER}/OtherArchitecture.vst3/Contents/${VST3_OTHER_FOLDER}/OtherArchitecture.vst3)

# CLAP.
add_format_fake(Good clap)
add_format_fake(InitFalse clap DEFINITIONS FAKE_INIT_RESULT=false)
add_format_fake(Version0 clap DEFINITIONS FAKE_VERSION_MAJOR=0)
add_format_fake(BadDescriptors clap DEFINITIONS FAKE_BAD_DESCRIPTORS=1)
add_format_fake(ManyPlugins clap DEFINITIONS FAKE_PLUGIN_COUNT=2000000)
add_format_fake(CrashInit clap DEFINITIONS FAKE_FAULT_IN_INIT=1)
add_format_fake(SegvIgnored clap DEFINITIONS FAKE_FAULT_IN_INIT=1 FAKE_IGNORE_SEGV=1)
add_format_fake(CrashDeinit clap DEFINITIONS FAKE_FAULT_IN_DEINIT=1)
add_format_fake(Single clap DEFINITIONS FAKE_PLUGIN_COUNT=1)
# A VST3 module under a CLAP name.
add_format_fake(NotClap vst3)
set_target_properties(fake_vst3_NotClap PROPERTIES SUFFIX .clap RUNTIME_OUTPUT_DIRECTORY ${FAKE_CLAP_FOLDER})
