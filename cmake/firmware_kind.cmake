# Whether the firmware file is the placeholder that tools/mkfirmware makes: its S0 header record
# says "mkfirmware". A build from it must never pass for a release: configure says so loudly, and
# the version texts and package names carry "placeholder firmware".
function(tq330_firmware_is_placeholder file result)
  file(STRINGS "${file}" header LIMIT_COUNT 1 REGEX "^S0")
  set(placeholder OFF)
  # The S0 data after the 16-bit address: "mkfirmware" is 6D 6B 66 69 72 6D 77 61 72 65.
  if(header MATCHES "^S0..0000(..)*6D6B6669726D77617265")
    set(placeholder ON)
  endif()
  set(${result} ${placeholder} PARENT_SCOPE)
endfunction()
