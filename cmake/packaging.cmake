# Install rules and release tarballs (CPack, TGZ).
#
# A router build (QX_HOST_BUILD=OFF: the armhf presets) installs and packages the device
# artifact: the stripped `upgrader` and a short installation note. A host build installs and
# packages the workstation tool `udtool` on its own. The host-built `upgrader` is never
# installed: it exists for the simulator's tests, and an x86 copy of a program that deletes
# system files has no business in /usr/local.
#
#   cmake --install build/armhf-static --strip --prefix DIR
#   cpack --config build/armhf-static/CPackConfig.cmake -B build/armhf-static/package
#   cpack --config build/release/CPackConfig.cmake -B build/release/package
include_guard(GLOBAL)

# install() alone leaves the symbols in: `cmake --install --strip` and the packages
# (CPACK_STRIP_FILES) strip with the toolchain's own strip.
set(QX_DEVICE_DOC_DIR share/doc/qx-upgrader)

if(NOT QX_HOST_BUILD AND TARGET upgrader)
  # What the toolchain's C library asks of the router, for Debian 12's cross toolchain; the
  # binary itself states it (the ABI note of `file`, the versions of `objdump -T`).
  if(CMAKE_EXE_LINKER_FLAGS MATCHES "(^| )-static( |$)")
    set(QX_DEVICE_LINKAGE static)
    set(QX_DEVICE_LINKAGE_NOTE
        "This build is fully static: it needs nothing from the router's libraries. It needs an\n\
ARMv7-A CPU with VFPv3 (armhf). Its C library is built for Linux 3.2 or later; it does not\n\
refuse an older kernel, and of the system calls a whole upgrade makes, only statx,\n\
clock_gettime64 and getrandom are newer than the router's 2.6.35, each with a fallback in\n\
the C library when the kernel answers ENOSYS. Try it on a unit before shipping.")
  else()
    set(QX_DEVICE_LINKAGE dynamic)
    set(QX_DEVICE_LINKAGE_NOTE
        "This build is dynamically linked: the router's libc.so.6, libstdc++.so.6 and libgcc_s.so.1\n\
must provide the symbol versions it names (glibc 2.34 and the C++ library of GCC 5 or later,\n\
built with GCC ${CMAKE_CXX_COMPILER_VERSION}). When in doubt, ship the fully static package instead.")
  endif()
  set(QX_DEVICE_ARCH ${CMAKE_SYSTEM_PROCESSOR})
  if(CMAKE_CXX_LIBRARY_ARCHITECTURE MATCHES "gnueabihf$")
    set(QX_DEVICE_ARCH armhf)
  endif()

  file(CONFIGURE OUTPUT "${PROJECT_BINARY_DIR}/INSTALL.txt" @ONLY CONTENT [[
qx upgrader @PROJECT_VERSION@ for the router (@QX_DEVICE_ARCH@, @QX_DEVICE_LINKAGE@)

sbin/upgrader is the firmware upgrade driver, stripped.
@QX_DEVICE_LINKAGE_NOTE@

Installing it on a router:
 1. Copy sbin/upgrader into the router's firmware image or onto the unit, mode 0755,
    owned by root.
 2. Place the upgrade file (its name begins with "ud") in /tmp/ramdisk/.
 3. As root, start: upgrader WATCHDOG-PROGRAM
    where WATCHDOG-PROGRAM is the path of the watchdog program to run during the upgrade.

The run stops the router's services, frees 22 MiB on / (deleting logs, static files and the
module directories of kernels that are not running), stages the new image and always ends by
rebooting the unit through the hardware watchdog. Its only report is /var/log/upgrade_log
after the reboot. Never start it on a workstation or a build server.
]])

  install(TARGETS upgrader RUNTIME DESTINATION sbin COMPONENT device)
  install(FILES "${PROJECT_BINARY_DIR}/INSTALL.txt" DESTINATION ${QX_DEVICE_DOC_DIR}
          COMPONENT device)
  set(CPACK_PACKAGE_NAME qx-upgrader)
  set(CPACK_PACKAGE_FILE_NAME
      "qx-upgrader-${PROJECT_VERSION}-linux-${QX_DEVICE_ARCH}-${QX_DEVICE_LINKAGE}")
elseif(QX_HOST_BUILD AND TARGET udtool)
  install(TARGETS udtool RUNTIME DESTINATION bin COMPONENT host)
  set(CPACK_PACKAGE_NAME qx-udtool)
  set(CPACK_PACKAGE_FILE_NAME
      "qx-udtool-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR}")
else()
  return()
endif()

set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "qx")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Router firmware upgrade driver and its host tool")
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
