# cmake -DSOURCE_DIR=<repo> -DWORK_DIR=<scratch> -DGENERATOR=<generator> -P one_version.cmake
#
# Copies the source tree, changes the version in project(VERSION) and nowhere else, configures it
# three ways (the placeholder firmware refused, the placeholder allowed, a release firmware) and
# checks that the man pages, the changelog, the AppStream data, the Windows README, the package names
# and the version header follow the new version and that the old one is nowhere left.

set(new_version 7.42)

function(fail)
  string(JOIN "" text ${ARGN})
  message(FATAL_ERROR "${text}")
endfunction()

function(expect_in file text)
  file(READ "${file}" content)
  string(FIND "${content}" "${text}" at)
  if(at EQUAL -1)
    fail("${file} lacks \"${text}\"")
  endif()
endfunction()

function(expect_not_in file text)
  file(READ "${file}" content)
  string(FIND "${content}" "${text}" at)
  if(NOT at EQUAL -1)
    fail("${file} still holds \"${text}\"")
  endif()
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
file(COPY "${SOURCE_DIR}/" DESTINATION "${WORK_DIR}/src" REGEX "/(build[^/]*|\\.git)$" EXCLUDE)

file(READ "${WORK_DIR}/src/CMakeLists.txt" top)
string(REGEX MATCH "project\\([a-z0-9_]+ VERSION ([0-9.]+)" found "${top}")
set(old_version "${CMAKE_MATCH_1}")
if(NOT found OR old_version STREQUAL "")
  fail("no project(... VERSION x.y) in the top-level CMakeLists.txt")
endif()
string(REPLACE "${found}" "project(tq330_updater VERSION ${new_version}" top "${top}")
file(WRITE "${WORK_DIR}/src/CMakeLists.txt" "${top}")

# A release firmware: the same records under an S0 header that does not name mkfirmware.
file(STRINGS "${WORK_DIR}/src/image/firmware/tq330.s28" records)
list(FILTER records EXCLUDE REGEX "^S0")
list(PREPEND records "S0030000FC")
list(JOIN records "\n" release)
file(WRITE "${WORK_DIR}/release.s28" "${release}\n")

function(configure name)
  execute_process(
    COMMAND "${CMAKE_COMMAND}" -S "${WORK_DIR}/src" -B "${WORK_DIR}/${name}" -G "${GENERATOR}"
            -DTQ330_BUILD_APP=OFF -DTQ330_BUILD_TESTS=OFF -DTQ330_BUILD_BENCH=OFF ${ARGN}
    RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(failed)
    fail("configure ${name} failed:\n${out}")
  endif()
endfunction()

configure(refused)
configure(allowed -DTQ330_ALLOW_PLACEHOLDER_PACKAGE=ON)
configure(release "-DTQ330_FIRMWARE_FILE=${WORK_DIR}/release.s28")

# Every file that carries the version, in each build.
foreach(build refused allowed release)
  set(b "${WORK_DIR}/${build}")
  foreach(page tq330-updater tq330-flash tq330-sim)
    expect_in("${b}/packaging/man/${page}.1" "\"TQ330 Updater ${new_version}\"")
    expect_not_in("${b}/packaging/man/${page}.1" "${old_version}")
  endforeach()
  file(GLOB metainfo "${b}/packaging/*.metainfo.xml")
  if(NOT metainfo)
    fail("${build}: no AppStream file")
  endif()
  expect_in("${metainfo}" "<release version=\"${new_version}")
  foreach(package tq330-flash)
    expect_not_in("${b}/packaging/${package}/changelog.Debian" "${old_version}")
  endforeach()
  expect_in("${b}/packaging/README.txt" "TQ330 Updater ${new_version} for Windows")
  expect_not_in("${b}/packaging/README.txt" "${old_version}")
  expect_not_in("${b}/CPackConfig.cmake" "\"${old_version}")
  # The version header the programs print, wherever the build generates it.
  file(GLOB_RECURSE headers "${b}/*version*.h")
  foreach(header IN LISTS headers)
    expect_not_in("${header}" "${old_version}")
    string(REPLACE "." ";" parts "${new_version}")
    list(GET parts 1 minor)
    expect_in("${header}" "${minor}")
  endforeach()
endforeach()

expect_in("${WORK_DIR}/release/packaging/tq330-flash/changelog.Debian" "tq330-flash (${new_version}-1)")
expect_in("${WORK_DIR}/release/CPackConfig.cmake" "set(CPACK_PACKAGE_VERSION \"${new_version}\")")
# The Debian packages: the version with its Debian revision, newer than the single package of the
# version before them, which they replace.
expect_in("${WORK_DIR}/release/CPackConfig.cmake" "\"tq330-flash_${new_version}-1_")
expect_in("${WORK_DIR}/release/CPackConfig.cmake" "\"tq330-updater (<< ${new_version}-1~)\"")
expect_in("${WORK_DIR}/release/packaging/cpack_options.cmake" "set(tq330_placeholder \"OFF\")")
# The Windows names (the installer, the ZIPs) are made only by a Windows configure; the Windows package
# check holds each against the version (scripts/check-windows-packages.sh).

# The placeholder, allowed: every name says so, and the version sorts below the release.
expect_in("${WORK_DIR}/allowed/CPackConfig.cmake" "set(CPACK_PACKAGE_VERSION \"${new_version}~placeholder\")")
expect_in("${WORK_DIR}/allowed/CPackConfig.cmake" "\"tq330-flash_${new_version}-1~placeholder_")

# The placeholder, not allowed: configure succeeded, cpack refuses before it installs anything.
execute_process(COMMAND "${CMAKE_CPACK_COMMAND}" -G DEB WORKING_DIRECTORY "${WORK_DIR}/refused"
                RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT failed)
  fail("cpack made a package of the placeholder firmware:\n${out}")
endif()
string(FIND "${out}" "No package: the embedded firmware is the placeholder" at)
if(at EQUAL -1)
  fail("cpack failed without saying why:\n${out}")
endif()

file(REMOVE_RECURSE "${WORK_DIR}")
message(STATUS "version ${old_version} -> ${new_version}: every package name and generated file followed")
