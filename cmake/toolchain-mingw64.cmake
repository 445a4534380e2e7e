# Cross-build for Windows with mingw-w64 (Debian g++-mingw-w64-x86-64-posix and
# g++-mingw-w64-i686-posix). TQ330_WINDOWS_ARCH picks the architecture: x86_64 (64-bit Windows, the
# default) or i686 (32-bit Windows, which 64-bit Windows also runs). The posix thread model is the one
# whose libstdc++ has std::thread and std::mutex with g++ 12.
set(TQ330_WINDOWS_ARCH x86_64 CACHE STRING "Windows architecture of the build: x86_64 or i686")
set_property(CACHE TQ330_WINDOWS_ARCH PROPERTY STRINGS x86_64 i686)
if(NOT TQ330_WINDOWS_ARCH MATCHES "^(x86_64|i686)$")
  message(FATAL_ERROR "TQ330_WINDOWS_ARCH is '${TQ330_WINDOWS_ARCH}': x86_64 or i686")
endif()
# The compiler checks of project() configure small projects of their own: they need the choice too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TQ330_WINDOWS_ARCH)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${TQ330_WINDOWS_ARCH})

set(TQ330_MINGW_PREFIX ${TQ330_WINDOWS_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${TQ330_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TQ330_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TQ330_MINGW_PREFIX}-windres)

# Headers and libraries from the mingw-w64 sysroot only; programs (the build's own tools) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${TQ330_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows 7 SP1 is the oldest Windows the programs run on: its headers' version, so that nothing
# newer can be called by mistake (platform/win32.h refuses any other). The resource compiler reads
# the same headers.
set(tq330_windows_version "-D_WIN32_WINNT=0x0601 -DWINVER=0x0601")
set(CMAKE_C_FLAGS_INIT "${tq330_windows_version}")
set(CMAKE_CXX_FLAGS_INIT "${tq330_windows_version}")
set(CMAKE_RC_FLAGS_INIT "${tq330_windows_version}")

# One self-contained exe: libstdc++, libgcc and winpthread linked in, so that it imports only
# Windows' own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
