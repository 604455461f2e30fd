# The project's one version, kept in the file VERSION at the root so that
# scripts and the build read the same text. A version CMake cannot use is
# refused here, with the file named, rather than deep inside project().
file(READ ${CMAKE_CURRENT_LIST_DIR}/../VERSION PROJECT_VERSION_TEXT)
string(STRIP "${PROJECT_VERSION_TEXT}" PROJECT_VERSION_TEXT)
if(NOT PROJECT_VERSION_TEXT MATCHES "^(0|[1-9][0-9]*)\\.(0|[1-9][0-9]*)\\.(0|[1-9][0-9]*)$")
  message(FATAL_ERROR "VERSION holds \"${PROJECT_VERSION_TEXT}\", which is not MAJOR.MINOR.PATCH "
    "(three whole numbers from 0 to 65535 without leading zeros, such as 0.4.0)")
endif()
foreach(part ${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3})
  string(LENGTH "${part}" digits)
  if(digits GREATER 5 OR part GREATER 65535)
    message(FATAL_ERROR "VERSION holds \"${PROJECT_VERSION_TEXT}\": a Windows version resource "
      "takes numbers up to 65535 only")
  endif()
endforeach()
