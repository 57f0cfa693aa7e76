# The router with any ARM core of its generation, ARMv5TE without a floating-point unit
# (ARM926EJ-S class) and later: 32-bit ARM, soft-float EABI (armel), glibc, built with Debian's
# cross compiler (g++-arm-linux-gnueabi). Its code runs on ARMv5TE, v6 and v7 alike. Only the
# compiler and where its target files live are set here; the armel-static preset chooses the
# rest.
set(QX_CROSS_TRIPLE arm-linux-gnueabi)
set(QX_QEMU_CPU arm926)
include(${CMAKE_CURRENT_LIST_DIR}/arm-linux.cmake)
