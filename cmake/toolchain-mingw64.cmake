# Cross-build for 64-bit Windows with mingw-w64 (Debian g++-mingw-w64-x86-64-posix). The posix thread
# model is the one whose libstdc++ has std::thread and std::mutex with g++ 12.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TQ330_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TQ330_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TQ330_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TQ330_MINGW_PREFIX}-windres)

# Headers and libraries from the mingw-w64 sysroot only; programs (the build's own tools) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${TQ330_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained exe: libstdc++, libgcc and winpthread linked in, so that it imports only
# Windows' own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
