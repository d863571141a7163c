# The project version fills the program's VERSIONINFO and its manifest, which takes it plus
# ".0": Windows refuses to start a program whose manifest version is not four numbers of 0 to
# 65535, so the version must be exactly major.minor.patch, each part in that range.
function(patu_check_version version)
  if(NOT version MATCHES "^(0|[1-9][0-9]*)\\.(0|[1-9][0-9]*)\\.(0|[1-9][0-9]*)$")
    message(FATAL_ERROR "pATU's version \"${version}\" is not major.minor.patch (as 1.0.0)")
  endif()
  foreach(part ${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3})
    string(LENGTH "${part}" digits)
    if(digits GREATER 5 OR part GREATER 65535)
      message(FATAL_ERROR "pATU's version \"${version}\": ${part} is over 65535")
    endif()
  endforeach()
endfunction()

# As a script: cmake -DVERSION=x.y.z -P cmake/version.cmake
if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  patu_check_version("${VERSION}")
endif()
