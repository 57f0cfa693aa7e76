# What both router toolchains share: Debian's cross compiler for QX_CROSS_TRIPLE, the cross
# sysroot for libraries and headers, and qemu-arm-static, started explicitly with the oldest
# core the ABI supports (QX_QEMU_CPU), for whatever must run a target binary (try_run, ctest).
# Included by arm-linux-gnueabi.cmake and arm-linux-gnueabihf.cmake, which set the two names.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER ${QX_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${QX_CROSS_TRIPLE}-g++)
# Named outright so that `cmake --install --strip` and CPack strip with the ARM tools even if a
# host strip comes first on PATH.
find_program(CMAKE_STRIP ${QX_CROSS_TRIPLE}-strip REQUIRED)
find_program(CMAKE_OBJCOPY ${QX_CROSS_TRIPLE}-objcopy)

# Libraries and headers come from the cross sysroot only; programs run during the build
# (none today) would come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${QX_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No binfmt registration is ever needed: the emulator is named on each command line. -L serves
# the dynamically linked builds; a static binary ignores it.
find_program(QX_QEMU_ARM qemu-arm-static)
if(QX_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QX_QEMU_ARM} -cpu ${QX_QEMU_CPU} -L /usr/${QX_CROSS_TRIPLE})
endif()
