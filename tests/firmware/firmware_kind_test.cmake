# cmake -DSOURCE_DIR=... -DWORK_DIR=... -DHEADER=... -P firmware_kind_test.cmake
# The placeholder test: the committed mkfirmware image is recognised as the placeholder, a file
# with another header (a release's) is not, and the generated version header says which one the
# build embeds.
include("${SOURCE_DIR}/cmake/firmware_kind.cmake")

tq330_firmware_is_placeholder("${SOURCE_DIR}/image/firmware/tq330.s28" committed)
if(NOT committed)
  message(FATAL_ERROR "the committed mkfirmware image is not recognised as the placeholder")
endif()

# A release-like file: the same data records behind an S0 header of its own ("TQ330 3.11").
file(STRINGS "${SOURCE_DIR}/image/firmware/tq330.s28" lines LIMIT_COUNT 3)
list(SUBLIST lines 1 2 data)
file(MAKE_DIRECTORY "${WORK_DIR}")
set(release "${WORK_DIR}/release.s28")
list(JOIN data "\n" body)
file(WRITE "${release}" "S00D0000545133333020332E3131D4\n${body}\n")
tq330_firmware_is_placeholder("${release}" other)
if(other)
  message(FATAL_ERROR "a file whose header is not mkfirmware's is taken for the placeholder")
endif()

# A header without an S0 record at all is not the placeholder either.
file(WRITE "${release}" "${body}\n")
tq330_firmware_is_placeholder("${release}" none)
if(none)
  message(FATAL_ERROR "a file without a header is taken for the placeholder")
endif()

file(READ "${HEADER}" header)
if(NOT header MATCHES "TQ330_FIRMWARE_IS_PLACEHOLDER ${EXPECTED}\n")
  message(FATAL_ERROR "tq330_version.h does not say TQ330_FIRMWARE_IS_PLACEHOLDER ${EXPECTED}")
endif()
if(EXPECTED AND NOT header MATCHES "TQ330_FIRMWARE_NOTE \" \\(placeholder firmware\\)\"")
  message(FATAL_ERROR "tq330_version.h of a placeholder build does not say placeholder firmware")
endif()
message(STATUS "firmware kind: committed=placeholder, release-like=not, this build=${EXPECTED}")
