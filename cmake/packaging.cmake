# Releases people install: the Debian package on Linux; the NSIS installer and the ZIP from the
# Windows (mingw-w64) build. Every version text below comes from project(VERSION) alone, so a new
# release changes one line in the top-level CMakeLists.txt.
#
#   cmake --preset release && cmake --build --preset release --target package     (the .deb)
#   cmake --preset win64-release && cmake --build --preset win64-release --target package  (the win64 ZIP)
#   cmake --preset win32-release && cmake --build --preset win32-release --target package  (the win32 ZIP)
#   cmake --build --preset win32-release --target installer   (setup.exe, both builds; win64-release first)
#
# scripts/check-packages.sh and scripts/check-windows-packages.sh check what they make.

include(GNUInstallDirs)

set(TQ330_VERSION "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}")

# TQ330_PLACEHOLDER_FIRMWARE (set at the top, from the firmware's S0 record) marks a build of the
# placeholder firmware; a package of it must never pass for a release.
option(TQ330_ALLOW_PLACEHOLDER_PACKAGE
       "Allow packages of the placeholder firmware (their names then say \"placeholder\")" OFF)
if(TQ330_PLACEHOLDER_FIRMWARE)
  if(TQ330_ALLOW_PLACEHOLDER_PACKAGE)
    message(STATUS "Packages carry the placeholder firmware and say so in their names")
  else()
    message(STATUS "Placeholder firmware: the package target refuses "
                   "(-DTQ330_ALLOW_PLACEHOLDER_PACKAGE=ON for a test package)")
  endif()
endif()

# "~" sorts before the release itself, so the real 3.11 replaces a placeholder 3.11 on upgrade.
set(TQ330_PACKAGE_VERSION "${TQ330_VERSION}")
set(TQ330_FILE_VERSION "${TQ330_VERSION}")
set(TQ330_README_PLACEHOLDER_NOTE "")
set(tq330_deb_placeholder_note "")
if(TQ330_PLACEHOLDER_FIRMWARE AND TQ330_ALLOW_PLACEHOLDER_PACKAGE)
  set(TQ330_PACKAGE_VERSION "${TQ330_VERSION}~placeholder")
  set(TQ330_FILE_VERSION "${TQ330_VERSION}-placeholder")
  set(TQ330_README_PLACEHOLDER_NOTE
      "\nTEST BUILD: the firmware inside is a placeholder. Do not use it on a device.\n")
  set(tq330_deb_placeholder_note "\n.\nTEST BUILD: the firmware inside is a placeholder. Do not use it on a device.")
endif()

# SOURCE_DATE_EPOCH, when set, fixes these (reproducible packages).
string(TIMESTAMP TQ330_RELEASE_DATE "%Y-%m-%d" UTC)
string(TIMESTAMP TQ330_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)

# The project has no domain of its own yet: both names sit under the reserved top-level domain
# "invalid" until it has one.
set(TQ330_PACKAGE_MAINTAINER "TQ330 Updater maintainers <maintainers@tq330updater.invalid>"
    CACHE STRING "Maintainer field of the Debian package")
set(TQ330_APPSTREAM_ID "invalid.tq330updater.updater" CACHE STRING
    "AppStream component id (reverse domain name) of the window program")

set(CPACK_PACKAGE_NAME tq330-updater)
set(CPACK_PACKAGE_VENDOR "TQ330 Updater maintainers")
set(CPACK_PACKAGE_VERSION "${TQ330_PACKAGE_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for TQ330 devices over a serial line")
set(CPACK_STRIP_FILES ON)
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_BINARY_DIR}/packaging/cpack_options.cmake")
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The Windows packages' README.txt (configured in every build, so that its version is checked on Linux),
# with Windows line ends throughout, the inserted lines included.
configure_file("${PROJECT_SOURCE_DIR}/packaging/windows/README.txt.in" "${CMAKE_BINARY_DIR}/packaging/README.lf" @ONLY)
file(READ "${CMAKE_BINARY_DIR}/packaging/README.lf" tq330_readme)
string(REPLACE "\n" "\r\n" tq330_readme "${tq330_readme}")
file(WRITE "${CMAKE_BINARY_DIR}/packaging/README.txt" "${tq330_readme}")

# The programs of the Linux package, each with its man page.
set(tq330_linux_programs tq330-updater tq330-flash tq330-sim)

if(NOT WIN32)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TQ330_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "The TQ330 Updater writes the firmware it carries into a TQ330 device connected
to a serial port: it clears the device, programs it, marks the new firmware
valid, checks it by CRC and starts it.
.
This package holds the window program tq330-updater, the command-line
tq330-flash where it is built, and tq330-sim, which plays the device on a
pseudo-terminal for trying the updater without one. Opening a serial port
needs membership of the group dialout.${tq330_deb_placeholder_note}")
  find_program(TQ330_DPKG dpkg)
  if(TQ330_DPKG)
    execute_process(COMMAND "${TQ330_DPKG}" --print-architecture OUTPUT_VARIABLE tq330_arch
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
  else()
    set(tq330_arch amd64)
  endif()
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "${tq330_arch}")
  set(CPACK_DEBIAN_FILE_NAME "${CPACK_PACKAGE_NAME}_${TQ330_PACKAGE_VERSION}_${tq330_arch}.deb")
  set(CPACK_TQ330_STRIP "${CMAKE_STRIP}")
  set(CPACK_PRE_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/packaging/strip_notes.cmake")

  # The device simulator and the command-line program ship beside the window program (which
  # app/ installs with its icons and desktop file).
  foreach(program tq330-sim tq330-flash)
    if(TARGET ${program})
      install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
  endforeach()

  # Man pages, the changelog and the AppStream data carry the version; Debian wants the first two
  # compressed without a time stamp (gzip -n), which is done here once per configure.
  find_program(TQ330_GZIP gzip REQUIRED)
  set(doc_dir "${CMAKE_INSTALL_DATADIR}/doc/${CPACK_PACKAGE_NAME}")
  set(out "${CMAKE_BINARY_DIR}/packaging")
  foreach(page IN LISTS tq330_linux_programs)
    configure_file("${PROJECT_SOURCE_DIR}/packaging/man/${page}.1.in" "${out}/man/${page}.1" @ONLY)
    execute_process(COMMAND "${TQ330_GZIP}" -9nc "${out}/man/${page}.1" OUTPUT_FILE "${out}/man/${page}.1.gz")
    if(TARGET ${page})
      install(FILES "${out}/man/${page}.1.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
  endforeach()
  configure_file("${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in" "${out}/changelog" @ONLY)
  execute_process(COMMAND "${TQ330_GZIP}" -9nc "${out}/changelog" OUTPUT_FILE "${out}/changelog.gz")
  set(TQ330_METAINFO_BINARIES "")
  foreach(program IN LISTS tq330_linux_programs)
    if(TARGET ${program})
      string(APPEND TQ330_METAINFO_BINARIES "    <binary>${program}</binary>\n")
    endif()
  endforeach()
  configure_file("${PROJECT_SOURCE_DIR}/packaging/linux/metainfo.xml.in"
                 "${out}/${TQ330_APPSTREAM_ID}.metainfo.xml" @ONLY)

  install(FILES "${out}/changelog.gz" "${PROJECT_SOURCE_DIR}/packaging/debian/copyright"
                "${PROJECT_SOURCE_DIR}/README.md" DESTINATION ${doc_dir})
  if(TARGET tq330-updater)
    install(FILES "${out}/${TQ330_APPSTREAM_ID}.metainfo.xml" DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  endif()
  install(FILES "${PROJECT_SOURCE_DIR}/packaging/debian/lintian-overrides"
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${CPACK_PACKAGE_NAME})
else()
  # One folder, "Program Files\TQ330 Updater": the programs and a README.txt beside them; a ZIP of it
  # for each architecture (CPack). A build without any of the programs (their front ends not built)
  # has nothing to package.
  set(CPACK_GENERATOR ZIP)
  set(tq330_windows_programs "")
  foreach(program tq330-updater tq330-flash)
    if(TARGET ${program})
      install(TARGETS ${program} RUNTIME DESTINATION .)
      list(APPEND tq330_windows_programs ${program})
    endif()
  endforeach()
  if(NOT tq330_windows_programs)
    message(STATUS "No Windows program in this build: no package target")
    return()
  endif()
  install(FILES "${CMAKE_BINARY_DIR}/packaging/README.txt" DESTINATION .)
  if(TQ330_WINDOWS_ARCH STREQUAL "i686")
    set(TQ330_ZIP_FILE_NAME "tq330-updater-${TQ330_FILE_VERSION}-win32")
  else()
    set(TQ330_ZIP_FILE_NAME "tq330-updater-${TQ330_FILE_VERSION}-win64")
  endif()

  # The one installer for every Windows from 7 on carries both builds and picks the one for the
  # Windows it runs on (packaging/windows/installer.nsi.in); the 32-bit build makes it, with the
  # programs of the 64-bit release build named here.
  if(TQ330_WINDOWS_ARCH STREQUAL "i686")
    set(TQ330_WIN64_BUILD "" CACHE PATH "The 64-bit Windows release build whose programs the installer carries")
    find_program(TQ330_MAKENSIS makensis)
    if(TQ330_WIN64_BUILD AND TQ330_MAKENSIS AND TARGET tq330-updater AND TARGET tq330-flash)
      set(TQ330_INSTALLER_FILE "${CMAKE_BINARY_DIR}/tq330-updater-${TQ330_FILE_VERSION}-setup.exe")
      set(TQ330_INSTALLER_STAGE "${CMAKE_BINARY_DIR}/installer-stage")
      configure_file("${PROJECT_SOURCE_DIR}/packaging/windows/installer.nsi.in"
                     "${CMAKE_BINARY_DIR}/packaging/installer.nsi" @ONLY)
      set(tq330_placeholder_refused OFF)
      if(TQ330_PLACEHOLDER_FIRMWARE AND NOT TQ330_ALLOW_PLACEHOLDER_PACKAGE)
        set(tq330_placeholder_refused ON)
      endif()
      add_custom_target(installer
        COMMAND "${CMAKE_COMMAND}" -DBUILD32=${CMAKE_BINARY_DIR} -DBUILD64=${TQ330_WIN64_BUILD}
                -DSTAGE=${TQ330_INSTALLER_STAGE} -DNSI=${CMAKE_BINARY_DIR}/packaging/installer.nsi
                -DMAKENSIS=${TQ330_MAKENSIS} -DOUT=${TQ330_INSTALLER_FILE}
                -DFIRMWARE=${TQ330_FIRMWARE_FILE} -DREFUSED=${tq330_placeholder_refused}
                -P "${PROJECT_SOURCE_DIR}/packaging/windows/make_installer.cmake"
        COMMENT "The installer for 32- and 64-bit Windows" VERBATIM)
      add_dependencies(installer tq330-updater tq330-flash)
    endif()
  endif()
endif()

configure_file("${PROJECT_SOURCE_DIR}/packaging/cpack_options.cmake.in" "${CPACK_PROJECT_CONFIG_FILE}" @ONLY)
include(CPack)
