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
  # Two packages from one build. tq330-flash: the command line and the simulator, without Qt, for
  # scripts and headless stations (amd64 and arm64). tq330-updater: the window, which depends on
  # tq330-flash of the same version, so that a desktop keeps the command line it had in the one
  # package of 3.11 and the window and the command line on a machine are always the same engine.
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TQ330_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

  # The version apt compares. 3.11 was one package, version 3.11; its split packages keep the
  # program's version and carry a Debian revision, which sorts above it ("3.11-1" > "3.11"). A test
  # package sorts below its release and above the single package: "3.11-1~placeholder".
  set(TQ330_DEBIAN_REVISION 1)
  if(TQ330_PLACEHOLDER_FIRMWARE AND TQ330_ALLOW_PLACEHOLDER_PACKAGE)
    string(APPEND TQ330_DEBIAN_REVISION "~placeholder")
  endif()
  set(CPACK_DEBIAN_PACKAGE_VERSION "${TQ330_VERSION}")
  set(CPACK_DEBIAN_PACKAGE_RELEASE "${TQ330_DEBIAN_REVISION}")
  set(TQ330_DEBIAN_VERSION "${TQ330_VERSION}-${TQ330_DEBIAN_REVISION}")
  # What the single package of 3.11 held is now in tq330-flash: it takes those files over and makes
  # apt upgrade (or, on a headless station, remove) that package in the same step.
  set(tq330_single_package "tq330-updater (<< ${TQ330_VERSION}-1~)")

  # A cross-build names its architecture in its toolchain file (TQ330_DEB_ARCHITECTURE).
  if(TQ330_DEB_ARCHITECTURE)
    set(tq330_arch "${TQ330_DEB_ARCHITECTURE}")
  else()
    find_program(TQ330_DPKG dpkg REQUIRED)
    execute_process(COMMAND "${TQ330_DPKG}" --print-architecture OUTPUT_VARIABLE tq330_arch
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
  endif()
  set(TQ330_DEB_ARCH "${tq330_arch}")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "${tq330_arch}")
  set(CPACK_TQ330_STRIP "${CMAKE_STRIP}")
  set(CPACK_PRE_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/packaging/strip_notes.cmake")

  # package name, component (its install rules: app/cli, tools/tq330-sim, app/qt), its programs
  set(tq330_deb_packages "")
  if(TARGET tq330-flash)
    list(APPEND tq330_deb_packages tq330-flash)
    set(tq330_tq330-flash_component flash)
    set(tq330_tq330-flash_programs tq330-flash tq330-sim)
  endif()
  if(TARGET tq330-updater)
    list(APPEND tq330_deb_packages tq330-updater)
    set(tq330_tq330-updater_component updater)
    set(tq330_tq330-updater_programs tq330-updater)
  endif()

  set(CPACK_DEBIAN_FLASH_PACKAGE_NAME tq330-flash)
  set(CPACK_DEBIAN_FLASH_PACKAGE_BREAKS "${tq330_single_package}")
  set(CPACK_DEBIAN_FLASH_PACKAGE_REPLACES "${tq330_single_package}")
  set(CPACK_DEBIAN_FLASH_DESCRIPTION
      "command-line firmware updater for TQ330 devices, and a device simulator
tq330-flash writes the firmware it carries into a TQ330 device connected to
a serial port: it clears the device, programs it, marks the new firmware
valid, checks it by CRC and starts it. It updates several devices at once
and, on a production line, each device as it is plugged in; its exit codes
and JSON events are made for scripts.
.
This package needs no window system and no Qt: it suits headless flashing
stations. It also holds tq330-sim, which plays the device on a
pseudo-terminal for trying the updater without one. Opening a serial port
needs membership of the group dialout.${tq330_deb_placeholder_note}")
  set(CPACK_DEBIAN_UPDATER_PACKAGE_NAME tq330-updater)
  set(CPACK_DEBIAN_UPDATER_PACKAGE_DEPENDS "tq330-flash (= ${TQ330_DEBIAN_VERSION})")
  set(CPACK_DEBIAN_UPDATER_DESCRIPTION
      "firmware updater for TQ330 devices over a serial line (window program)
The TQ330 Updater writes the firmware it carries into a TQ330 device connected
to a serial port: it clears the device, programs it, marks the new firmware
valid, checks it by CRC and starts it.
.
This package holds the window program tq330-updater. The command-line
tq330-flash and the device simulator tq330-sim come with tq330-flash, on
which it depends. Opening a serial port needs membership of the group
dialout.${tq330_deb_placeholder_note}")

  # Man pages, the changelogs and the AppStream data carry the version; Debian wants the first two
  # compressed without a time stamp (gzip -n), which is done here once per configure.
  find_program(TQ330_GZIP gzip REQUIRED)
  set(out "${CMAKE_BINARY_DIR}/packaging")
  foreach(page IN LISTS tq330_linux_programs)
    configure_file("${PROJECT_SOURCE_DIR}/packaging/man/${page}.1.in" "${out}/man/${page}.1" @ONLY)
    execute_process(COMMAND "${TQ330_GZIP}" -9nc "${out}/man/${page}.1" OUTPUT_FILE "${out}/man/${page}.1.gz")
  endforeach()
  set(TQ330_METAINFO_BINARIES "    <binary>tq330-updater</binary>\n")
  configure_file("${PROJECT_SOURCE_DIR}/packaging/linux/metainfo.xml.in"
                 "${out}/${TQ330_APPSTREAM_ID}.metainfo.xml" @ONLY)

  set(CPACK_COMPONENTS_ALL "")
  foreach(package IN LISTS tq330_deb_packages)
    set(component ${tq330_${package}_component})
    list(APPEND CPACK_COMPONENTS_ALL ${component})
    string(TOUPPER ${component} COMPONENT)
    set(CPACK_DEBIAN_${COMPONENT}_FILE_NAME "${package}_${TQ330_DEBIAN_VERSION}_${tq330_arch}.deb")
    foreach(page IN LISTS tq330_${package}_programs)
      install(FILES "${out}/man/${page}.1.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
    endforeach()
    # Each package has its own changelog, copyright file and lintian overrides.
    set(tq330_package ${package})
    configure_file("${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in" "${out}/${package}/changelog.Debian" @ONLY)
    execute_process(COMMAND "${TQ330_GZIP}" -9nc "${out}/${package}/changelog.Debian"
                    OUTPUT_FILE "${out}/${package}/changelog.Debian.gz")
    configure_file("${PROJECT_SOURCE_DIR}/packaging/debian/lintian-overrides.in" "${out}/${package}/lintian-overrides"
                   @ONLY)
    install(FILES "${out}/${package}/changelog.Debian.gz" "${PROJECT_SOURCE_DIR}/packaging/debian/copyright"
                  "${PROJECT_SOURCE_DIR}/README.md" DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
            COMPONENT ${component})
    install(FILES "${out}/${package}/lintian-overrides" DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
            RENAME ${package} COMPONENT ${component})
  endforeach()
  if(TARGET tq330-updater)
    install(FILES "${out}/${TQ330_APPSTREAM_ID}.metainfo.xml" DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
            COMPONENT updater)
  endif()
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
