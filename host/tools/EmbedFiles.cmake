# Writes a C++ header that holds files of the source tree as byte arrays,
# so that the report page's markup, style and script stay files of their
# own and still ride inside plugin-scan.exe. Bytes rather than a raw string
# literal: no text in a file can end the literal early.
#   cmake -DOUTPUT=header -DINPUTS="name=path|name=path" -P EmbedFiles.cmake
set(text "// Made by EmbedFiles.cmake from the files named below; do not edit.\n#pragma once\n\n#include <cstddef>\n\n")
string(REPLACE "|" ";" entries "${INPUTS}")
foreach(entry ${entries})
  string(REPLACE "=" ";" parts "${entry}")
  list(GET parts 0 name)
  list(GET parts 1 path)
  file(READ "${path}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  # Lines of 16 bytes keep the header readable (CMake's expressions have no {16}).
  string(REPEAT "'[^']*'," 16 line)
  string(REGEX REPLACE "(${line})" "\\1\n    " bytes "${bytes}")
  get_filename_component(file_name "${path}" NAME)
  string(APPEND text "// ${file_name}\nconstexpr char ${name}[] = {\n    ${bytes}'\\0'};\nconstexpr size_t ${name}Size = ${size};\n\n")
endforeach()
file(WRITE "${OUTPUT}.new" "${text}")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
