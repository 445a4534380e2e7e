# Makes the one Windows installer (cmake --build --preset win32-release --target installer): both
# release builds installed stripped into a staging folder, then makensis on the configured script.
# Run by cmake -P with BUILD32, BUILD64, STAGE, NSI, MAKENSIS, OUT, FIRMWARE and REFUSED.
if(REFUSED)
  message(FATAL_ERROR "No installer: the embedded firmware is the placeholder made by mkfirmware. "
                      "Configure with -DTQ330_FIRMWARE_FILE=<release .s28>, or with "
                      "-DTQ330_ALLOW_PLACEHOLDER_PACKAGE=ON for a test package whose names say \"placeholder\".")
endif()

# The 64-bit half must be a built release of the same firmware: an installer whose two halves
# carried different firmware would update a device differently on 32- and 64-bit Windows.
foreach(program app/win32/tq330-updater.exe app/cli/tq330-flash.exe)
  if(NOT EXISTS "${BUILD64}/${program}")
    message(FATAL_ERROR "No installer: ${BUILD64}/${program} is missing. Build the 64-bit programs first: "
                        "cmake --preset win64-release && cmake --build --preset win64-release")
  endif()
endforeach()
file(STRINGS "${BUILD64}/CMakeCache.txt" firmware64 REGEX "^TQ330_FIRMWARE_FILE:")
string(REGEX REPLACE "^[^=]*=" "" firmware64 "${firmware64}")
if(NOT firmware64 STREQUAL FIRMWARE)
  message(FATAL_ERROR "No installer: the 64-bit build in ${BUILD64} embeds ${firmware64}, this one ${FIRMWARE}")
endif()
file(STRINGS "${BUILD64}/CMakeCache.txt" arch64 REGEX "^TQ330_WINDOWS_ARCH:")
if(NOT arch64 MATCHES "=x86_64$")
  message(FATAL_ERROR "No installer: ${BUILD64} is not a 64-bit Windows build (${arch64})")
endif()

file(REMOVE_RECURSE "${STAGE}")
foreach(half win32 win64)
  if(half STREQUAL "win32")
    set(build "${BUILD32}")
  else()
    set(build "${BUILD64}")
  endif()
  execute_process(COMMAND "${CMAKE_COMMAND}" --install "${build}" --prefix "${STAGE}/${half}" --strip
                  OUTPUT_QUIET RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "No installer: installing ${build} failed")
  endif()
endforeach()

# Windows shows the size under Settings > Apps: the larger half's, in KiB.
set(largest 0)
foreach(half win32 win64)
  set(bytes 0)
  file(GLOB files "${STAGE}/${half}/*")
  foreach(f IN LISTS files)
    file(SIZE "${f}" size)
    math(EXPR bytes "${bytes} + ${size}")
  endforeach()
  if(bytes GREATER largest)
    set(largest ${bytes})
  endif()
endforeach()
math(EXPR kib "(${largest} + 1023) / 1024")

file(REMOVE "${OUT}")
execute_process(COMMAND "${MAKENSIS}" -V2 -DINSTALLED_KB=${kib} "${NSI}" RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT EXISTS "${OUT}")
  message(FATAL_ERROR "makensis failed on ${NSI}")
endif()
file(SIZE "${OUT}" size)
message(STATUS "${OUT} (${size} bytes)")
