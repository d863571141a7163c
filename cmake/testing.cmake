# How test executables become CTest tests on each build:
# - built for the machine it runs on: every GoogleTest case is its own CTest test;
# - cross-built for Windows (x86-64 or i686): each executable is one test, run under Wine
#   (wine-run, the cross-compiling emulator) in this build's private Wine prefix.
# The native tree takes in both Windows trees' tests; the i686 tree's names begin with
# PATU_TEST_PREFIX, and so do its fixtures and locks, which belong to its own Wine prefix.
include(GoogleTest)

# Python tests run on Debian's Python, which sees python3-pytest, -pil and -xlib; their
# options are in tests/pytest.ini.
set(PATU_PYTEST /usr/bin/python3 -m pytest)

set(PATU_TEST_PREFIX "")
if(CMAKE_CROSSCOMPILING)
  set(PATU_WINE_DIR ${CMAKE_BINARY_DIR}/wine)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/cmake/wine-run ${PATU_WINE_DIR})
  else()
    set(PATU_TEST_PREFIX "i686_")
    # A machine that cannot run 32-bit code skips these tests, saying why (exit status 77).
    # Every test command of this tree that runs its programs starts with PATU_I686_GUARD.
    set(PATU_I686_GUARD ${CMAKE_SOURCE_DIR}/cmake/run-i686)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${PATU_I686_GUARD} ${CMAKE_SOURCE_DIR}/cmake/wine-run
                                      ${PATU_WINE_DIR})
  endif()
endif()
# Runs a Windows program of this tree under Wine, for test commands that wrap it.
set(PATU_WINE_RUN ${CMAKE_SOURCE_DIR}/cmake/wine-run ${PATU_WINE_DIR})

# Sets the properties of this tree's tests named by their unprefixed names; in a Windows
# tree, a test that exits with 77 (cmake/run-i686: no 32-bit code here) counts as skipped.
function(patu_test_properties)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "" "TESTS;PROPERTIES")
  list(TRANSFORM arg_TESTS PREPEND "${PATU_TEST_PREFIX}")
  set_tests_properties(${arg_TESTS} PROPERTIES ${arg_PROPERTIES})
  if(CMAKE_CROSSCOMPILING)
    set_tests_properties(${arg_TESTS} PROPERTIES SKIP_RETURN_CODE 77)
  endif()
endfunction()

function(patu_add_gtest target)
  if(NOT CMAKE_CROSSCOMPILING)
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 30 ${ARGN})
  else()
    add_test(NAME ${PATU_TEST_PREFIX}${target} COMMAND ${target})
    patu_test_properties(TESTS ${target} PROPERTIES LABELS wine)
  endif()
endfunction()
