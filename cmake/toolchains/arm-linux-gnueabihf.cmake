# The router: 32-bit ARM, hard-float ABI, glibc, built with Debian's cross compiler
# (g++-arm-linux-gnueabihf). Only the compiler and where its target files live are set here;
# optimisation and linkage are chosen by the armhf presets.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(QX_CROSS_PREFIX arm-linux-gnueabihf-)
set(CMAKE_C_COMPILER ${QX_CROSS_PREFIX}gcc)
set(CMAKE_CXX_COMPILER ${QX_CROSS_PREFIX}g++)
# Named outright so that `cmake --install --strip` and CPack strip with the ARM tools even if a
# host strip comes first on PATH.
find_program(CMAKE_STRIP ${QX_CROSS_PREFIX}strip REQUIRED)
find_program(CMAKE_OBJCOPY ${QX_CROSS_PREFIX}objcopy)

# Libraries and headers come from the cross sysroot only; programs run during the build
# (none today) would come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Lets try_run and anything that must execute a target binary at build time do so under the
# emulator, invoked explicitly (no binfmt registration is ever needed).
find_program(QX_QEMU_ARM qemu-arm-static)
if(QX_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QX_QEMU_ARM} -L /usr/arm-linux-gnueabihf)
endif()
