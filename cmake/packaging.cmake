# Install rules, release tarballs and the Debian package of the workstation tools (CPack).
#
# A router build (QX_HOST_BUILD=OFF: the armel and armhf presets) installs and packages the
# device artifact: the stripped `upgrader` and a short installation note. A host build installs and
# packages the workstation tools: `udtool`, `device-sim` with its helpers, their manual pages
# and bash completion (a tarball and the Debian package qx-upgrade-tools). The host-built
# `upgrader` is never installed: it exists for the simulator's tests, and an x86 copy of a
# program that deletes system files has no business in /usr/local.
#
#   cmake --install build/armel-static --strip --prefix DIR
#   cpack --config build/armel-static/CPackConfig.cmake -B build/armel-static/package
#   cpack --config build/release/CPackConfig.cmake -B build/release/package   # .tar.gz, .deb
include_guard(GLOBAL)

# install() alone leaves the symbols in: `cmake --install --strip` and the packages
# (CPACK_STRIP_FILES) strip with the toolchain's own strip.
set(QX_DEVICE_DOC_DIR share/doc/qx-upgrader)

if(NOT QX_HOST_BUILD AND TARGET upgrader)
  # What the toolchain's C library asks of the router, for Debian 12's cross toolchains; the
  # binary itself states it (the ABI note of `file`, the versions of `objdump -T`).
  if(CMAKE_CXX_LIBRARY_ARCHITECTURE MATCHES "gnueabihf$")
    set(QX_DEVICE_ARCH armhf)
    set(QX_DEVICE_CPU_NOTE
        "Its code is ARMv7-A with VFPv3 floating point (armhf): it runs on ARMv7 cores only\n\
(Cortex-A8, A9; `grep -E 'ARMv7|vfpv3' /proc/cpuinfo` on a unit). On an ARMv5 core\n\
(ARM926EJ-S class) it dies of SIGILL before it writes a single log line, and the unit stays\n\
as the caller left it. Where a unit's core is not known, ship the armel-static package.")
  elseif(CMAKE_CXX_LIBRARY_ARCHITECTURE MATCHES "gnueabi$")
    set(QX_DEVICE_ARCH armel)
    set(QX_DEVICE_CPU_NOTE
        "Its code is ARMv5TE without floating-point instructions (armel, soft-float): it runs on\n\
every ARM core of the router's generation, ARM926EJ-S class (ARMv5TE, no FPU) as well as\n\
ARMv6 and ARMv7 (Cortex-A8, A9). This is the package to ship by default.")
  else()
    set(QX_DEVICE_ARCH ${CMAKE_SYSTEM_PROCESSOR})
    set(QX_DEVICE_CPU_NOTE "")
  endif()
  if(CMAKE_EXE_LINKER_FLAGS MATCHES "(^| )-static( |$)")
    set(QX_DEVICE_LINKAGE static)
    # The calls newer than the router's kernel, from the table that CI holds the driver to.
    set(table "${PROJECT_SOURCE_DIR}/cmake/router-syscalls.tsv")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${table}")
    file(STRINGS "${table}" rows REGEX "^[^#]")
    set(newer "")
    foreach(row IN LISTS rows)
      string(REPLACE "\t" ";" columns "${row}")
      list(GET columns 0 call)
      list(GET columns 1 release)
      if(release VERSION_GREATER 2.6.35 AND NOT call MATCHES "/")
        list(APPEND newer "${call} (${release})")
      endif()
    endforeach()
    list(JOIN newer ", " newer)
    set(QX_DEVICE_LINKAGE_NOTE
        "This build is fully static: it needs nothing from the router's libraries.\n\
${QX_DEVICE_CPU_NOTE}\n\
The kernel must run EABI programs (CONFIG_AEABI), and /proc must be mounted. The C library\n\
is built for Linux 3.2 or later but does not refuse an older kernel. Of the system calls a\n\
whole upgrade makes, these are newer than the router's 2.6.35:\n\
  ${newer}\n\
each with a fallback in the C library when the kernel answers ENOSYS, and this build carries\n\
a fix of its own for fstat before Linux 2.6.39. That was checked under an emulator, not on a\n\
2.6.35 kernel: try the package on a unit before it ships.")
  else()
    set(QX_DEVICE_LINKAGE dynamic)
    set(QX_DEVICE_LINKAGE_NOTE
        "This build is dynamically linked: the router's libc.so.6, libstdc++.so.6 and libgcc_s.so.1\n\
must provide the symbol versions it names (glibc 2.34 and the C++ library of GCC 5 or later,\n\
built with GCC ${CMAKE_CXX_COMPILER_VERSION}); a router of the 2.6.35 kernel generation has none so new.\n\
${QX_DEVICE_CPU_NOTE}")
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
elseif(QX_HOST_BUILD AND TARGET udtool AND TARGET device-sim)
  # The workstation tools: udtool, device-sim and the two static helpers that device-sim copies
  # into every device, found beside it (PREFIX/lib/qx-upgrade-tools/), plus the manual pages
  # and bash completion of dist/. device-sim runs the router's own build of the upgrader
  # (--upgrader, $QX_UPGRADER) under an emulator ($QX_UPGRADER_LAUNCHER), so none is shipped.
  install(TARGETS udtool device-sim RUNTIME DESTINATION bin COMPONENT host)
  install(TARGETS qx_sim_init qx_sim_shell RUNTIME DESTINATION lib/qx-upgrade-tools
          COMPONENT host)
  set(CPACK_PACKAGE_NAME qx-upgrade-tools)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Router firmware upgrade files and a simulated router")
  set(CPACK_PACKAGE_FILE_NAME
      "qx-upgrade-tools-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR}")
  # A Debian package as well, for Debian 12 and later: the C and C++ libraries as dpkg-shlibdeps
  # finds them, busybox-static for the device's userland (its /bin/busybox), procps for the
  # device's pkill. CPack's use of dpkg-shlibdeps (dpkg-dev) needs `file` as well.
  find_program(QX_DPKG_SHLIBDEPS dpkg-shlibdeps)
  find_program(QX_FILE file)
  if(QX_DPKG_SHLIBDEPS AND QX_FILE)
    set(CPACK_GENERATOR TGZ DEB)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "busybox-static, procps")
    # Run by an ordinary user, device-sim maps the user's subordinate ids with newuidmap.
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "uidmap")
    set(CPACK_DEBIAN_PACKAGE_SECTION devel)
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER "qx firmware team <firmware@qx.invalid>")
    set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
        "udtool builds, inspects, verifies and unpacks upgrade files. device-sim runs commands and\n\
whole upgrades in a throwaway simulated router (Linux namespaces, a tmpfs root and busybox),\n\
as root or as an ordinary user where the machine allows user namespaces.")
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  else()
    message(STATUS "no dpkg-shlibdeps (dpkg-dev) or no file: cpack makes no Debian package")
  endif()
else()
  return()
endif()

if(NOT CPACK_GENERATOR)
  set(CPACK_GENERATOR TGZ)
endif()
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "qx")
if(NOT CPACK_PACKAGE_DESCRIPTION_SUMMARY)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Router firmware upgrade driver and its host tool")
endif()
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
