# Cross-build for 64-bit ARM Linux (the small boards of flashing stations) with Debian's
# g++-aarch64-linux-gnu. Everything but the Qt window: the window needs Qt 6 for arm64, which the
# build machine does not carry.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(TQ330_CROSS_TRIPLET aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${TQ330_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TQ330_CROSS_TRIPLET}-g++)

# The cross toolchain's own sysroot (libc6-dev-arm64-cross, libstdc++-12-dev-arm64-cross) for headers
# and libraries; programs (the build's own tools) come from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${TQ330_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The Debian architecture of the packages this build makes.
set(TQ330_DEB_ARCHITECTURE arm64)

# Tests and test discovery run the arm64 programs under qemu-user (Debian qemu-user-static): no
# binfmt registration needed. With the arm64 architecture added (libc6:arm64, which the packages'
# dependency lookup needs anyway) the loader and libraries come from /lib/aarch64-linux-gnu. qemu's
# -L would take the cross sysroot's loader but still the libc that the host's loader cache names
# there, two glibc builds that deadlock at the first thread; -L only where no arm64 libc is installed.
find_program(TQ330_QEMU_AARCH64 qemu-aarch64-static NO_CMAKE_FIND_ROOT_PATH)
if(TQ330_QEMU_AARCH64 AND EXISTS /lib/ld-linux-aarch64.so.1)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${TQ330_QEMU_AARCH64}")
elseif(TQ330_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${TQ330_QEMU_AARCH64};-L;/usr/${TQ330_CROSS_TRIPLET}")
endif()
