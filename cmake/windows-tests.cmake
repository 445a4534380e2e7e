# Test registration of the Windows builds (32- and 64-bit). The suites are Windows programs: CTest
# starts them under Wine when it is installed. Wine takes a good part of a second to start a process,
# so a suite is one CTest entry (one process) instead of one entry per test case as
# gtest_discover_tests makes. scripts/test-windows.sh runs the same suites in a throw-away Wine
# prefix; that script is the reference, these entries are a convenience for
# `ctest --test-dir build/win64` (or build/win32).
# Debian's /usr/bin/wine (package wine) starts 32- and 64-bit programs alike; wine64 only the latter.
if(TQ330_WINDOWS_ARCH STREQUAL "i686")
  find_program(TQ330_WINE NAMES wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
else()
  find_program(TQ330_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
endif()

# Stands in for GoogleTest's function of the same name in the tests' folders.
function(gtest_discover_tests target)
  cmake_parse_arguments(arg "" "DISCOVERY_MODE" "PROPERTIES" ${ARGN})
  if(NOT TQ330_WINE)
    return()
  endif()
  add_test(NAME ${target} COMMAND "${TQ330_WINE}" $<TARGET_FILE:${target}>)
  # No Mono or Gecko installer when CTest's first run creates the prefix; no debug chatter.
  set_tests_properties(${target} PROPERTIES ENVIRONMENT "WINEDEBUG=-all;WINEDLLOVERRIDES=mscoree=d\\;mshtml=d"
                                            ${arg_PROPERTIES})
endfunction()
