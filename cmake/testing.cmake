# How test executables become CTest tests on each build:
# - native: every GoogleTest case is its own CTest test;
# - x86-64 Windows: each executable is one test, run under Wine (wine-run, the
#   cross-compiling emulator) in this build's private Wine prefix;
# - i686 Windows: built as a portability check, never run (these machines cannot run it).
include(GoogleTest)

if(WIN32 AND CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(PATU_WINE_DIR ${CMAKE_BINARY_DIR}/wine)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/cmake/wine-run ${PATU_WINE_DIR})
endif()

function(patu_add_gtest target)
  if(NOT WIN32)
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 30 ${ARGN})
  elseif(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    add_test(NAME ${target} COMMAND ${target})
    set_tests_properties(${target} PROPERTIES LABELS wine)
  endif()
endfunction()
