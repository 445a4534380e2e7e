# The Windows ZIP: tq330-updater.exe and README.txt, unpacked anywhere and run; nothing to install.
#   cmake --preset win64 && cmake --build --preset win64 --target package
# A build of the placeholder firmware makes no ZIP unless TQ330_ALLOW_PLACEHOLDER_PACKAGE is on, and
# then its name says so.
option(TQ330_ALLOW_PLACEHOLDER_PACKAGE
       "Allow packages of the placeholder firmware (their names then say \"placeholder\")" OFF)
set(tq330_zip_version "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}")
if(TQ330_PLACEHOLDER_FIRMWARE)
  string(APPEND tq330_zip_version "-placeholder")
endif()

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME tq330-updater)
set(CPACK_PACKAGE_VERSION "${tq330_zip_version}")
set(CPACK_PACKAGE_FILE_NAME "tq330-updater-${tq330_zip_version}-win64")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_STRIP_FILES ON)
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_BINARY_DIR}/win64-zip-options.cmake")
file(CONFIGURE OUTPUT "${CPACK_PROJECT_CONFIG_FILE}" @ONLY CONTENT [[
# A package of the placeholder firmware would update real devices with made-up data. (Variables, not
# literal ON/OFF: cpack reads this file under the old if() policy, where ON is a variable name.)
set(tq330_placeholder "@TQ330_PLACEHOLDER_FIRMWARE@")
set(tq330_allow_placeholder "@TQ330_ALLOW_PLACEHOLDER_PACKAGE@")
if(tq330_placeholder AND NOT tq330_allow_placeholder)
  message(FATAL_ERROR "No package: the embedded firmware is the placeholder made by mkfirmware. "
                      "Configure with -DTQ330_FIRMWARE_FILE=<release .s28>, or with "
                      "-DTQ330_ALLOW_PLACEHOLDER_PACKAGE=ON for a test package named \"placeholder\".")
endif()
]])
include(CPack)
