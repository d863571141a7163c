# How test executables become CTest tests on each build:
# - built for the machine it runs on: every GoogleTest case is its own CTest test;
# - cross-built for x86-64 Windows: each executable is one test, run under Wine (wine-run,
#   the cross-compiling emulator) in this build's private Wine prefix;
# - cross-built for i686 Windows: a portability check, never run (these machines cannot).
include(GoogleTest)

# Python tests run on Debian's Python, which sees python3-pytest, -pil and -xlib; their
# options are in tests/pytest.ini.
set(PATU_PYTEST /usr/bin/python3 -m pytest)

if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(PATU_WINE_DIR ${CMAKE_BINARY_DIR}/wine)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/cmake/wine-run ${PATU_WINE_DIR})
endif()

function(patu_add_gtest target)
  if(NOT CMAKE_CROSSCOMPILING)
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 30 ${ARGN})
  elseif(CMAKE_CROSSCOMPILING_EMULATOR)
    add_test(NAME ${target} COMMAND ${target})
    set_tests_properties(${target} PROPERTIES LABELS wine)
  endif()
endfunction()
