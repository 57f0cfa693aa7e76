# The router with an ARMv7-A core and VFPv3: 32-bit ARM, hard-float ABI (armhf), glibc, built
# with Debian's cross compiler (g++-arm-linux-gnueabihf). Only the compiler and where its target
# files live are set here; optimisation and linkage are chosen by the armhf presets.
set(QX_CROSS_TRIPLE arm-linux-gnueabihf)
set(QX_QEMU_CPU cortex-a8)
include(${CMAKE_CURRENT_LIST_DIR}/arm-linux.cmake)
