# The on-device unit tests, cross-built with the router's toolchain (QX_TARGET_TESTS, set by the
# armel-static preset): the unit tier's list of programs (tests/unit/tests.cmake) and two named
# below, from the same sources as the host suites, and linked against the very library objects
# that go into the shipped `upgrader`. 32-bit `long`, `time_t` and `size_t` and
# unsigned `char` are where a fault hides that the x86-64 suites cannot see.
#
#   cmake --build --preset armel-static-tests     # target `target_tests`, not part of `all`
#   ctest --preset armel-static                   # each under ${CMAKE_CROSSCOMPILING_EMULATOR}
#
# ctest runs the programs on the host under the emulator (qemu-arm-static -cpu arm926 for
# armel). cleanup_probe is the cleanup's device
# program: the host's cleanup_device_test runs it inside the simulator (QX_CLEANUP_PROBE,
# QX_PROBE_LAUNCHER; see scripts/test.d/60-router.sh).
#
# GoogleTest is built for the target from the sources that Debian's `googletest` package
# installs (no download), without its install rules, so the router package never holds it.
include_guard(GLOBAL)

set(QX_GTEST_SOURCE_DIR /usr/src/googletest/googletest
    CACHE PATH "GoogleTest sources to build for the target")
# Without them the package still builds; only the target `target_tests` is missing then.
if(NOT EXISTS "${QX_GTEST_SOURCE_DIR}/src/gtest-all.cc")
  message(WARNING
    "QX_TARGET_TESTS: no GoogleTest sources in ${QX_GTEST_SOURCE_DIR}, so no on-device unit "
    "tests; install Debian's googletest package (scripts/install-deps.sh) to build them")
  return()
endif()

enable_testing()

# The test libraries under the names that the host build's have, so that the unit tier's list
# (tests/unit/tests.cmake) serves both builds.
add_library(qx_target_gtest STATIC EXCLUDE_FROM_ALL "${QX_GTEST_SOURCE_DIR}/src/gtest-all.cc")
target_include_directories(qx_target_gtest SYSTEM PUBLIC "${QX_GTEST_SOURCE_DIR}/include"
                           PRIVATE "${QX_GTEST_SOURCE_DIR}")
add_library(qx_target_gtest_main STATIC EXCLUDE_FROM_ALL "${QX_GTEST_SOURCE_DIR}/src/gtest_main.cc")
target_link_libraries(qx_target_gtest_main PUBLIC qx_target_gtest)
add_library(GTest::gtest ALIAS qx_target_gtest)
add_library(GTest::gtest_main ALIAS qx_target_gtest_main)

add_library(qx_private_tmp_main STATIC EXCLUDE_FROM_ALL
            ${PROJECT_SOURCE_DIR}/tests/support/private_tmp_main.cpp)
target_link_libraries(qx_private_tmp_main PUBLIC GTest::gtest)
qx_host_target(qx_private_tmp_main)

# udtool's writer makes the container tests' upgrade files; it is host code, but portable.
add_library(udtool_writer STATIC EXCLUDE_FROM_ALL ${PROJECT_SOURCE_DIR}/tools/upgrade_file_writer.cpp)
target_link_libraries(udtool_writer PUBLIC upgrade_container)
qx_host_target(udtool_writer)
# GCC's notes that the ARM passing of vector iterators changed in GCC 7.1: everything here is
# built by one compiler.
target_compile_options(udtool_writer PRIVATE -Wno-psabi)

add_custom_target(target_tests)

# qx_target_test(NAME SOURCES... LIBRARIES... [DEFINITIONS...]): one test program, run by ctest
# under the emulator.
function(qx_target_test name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "" "SOURCES;LIBRARIES;DEFINITIONS")
  list(TRANSFORM ARG_SOURCES PREPEND ${PROJECT_SOURCE_DIR}/tests/)
  add_executable(${name} EXCLUDE_FROM_ALL ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} $<TARGET_NAME_IF_EXISTS:qx_old_kernel>)
  target_compile_definitions(${name} PRIVATE ${ARG_DEFINITIONS})
  qx_host_target(${name})
  add_dependencies(target_tests ${name})
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 300 LABELS target)
endfunction()

# The unit tier's programs, for the router.
function(qx_unit_program name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "CASES" "" "SOURCES;LIBRARIES")
  qx_target_test(${name} SOURCES ${ARG_SOURCES} LIBRARIES ${ARG_LIBRARIES})
endfunction()
include(${PROJECT_SOURCE_DIR}/tests/unit/tests.cmake)

# Two more, outside the unit tier. upgrader_utils_test writes the upgrade log at its device path:
# it needs root (the emulator run has it) and gets a private /tmp first
# (tests/support/private_tmp_main.cpp), as on the host.
qx_target_test(upgrader_utils_test SOURCES utils/upgrader_utils_test.cpp
               LIBRARIES upgrader_utils qx_private_tmp_main)

# The C library fix for the router's kernel (compat/), with 64-bit times in the test itself so
# that its struct stat is the library's own.
if(TARGET qx_old_kernel)
  qx_target_test(compat_fstat_test SOURCES compat/fstat_fallback_test.cpp
                 LIBRARIES GTest::gtest_main DEFINITIONS _TIME_BITS=64)
endif()

add_executable(cleanup_probe EXCLUDE_FROM_ALL ${PROJECT_SOURCE_DIR}/tests/cleanup/cleanup_probe.cpp)
target_link_libraries(cleanup_probe PRIVATE upgrader_cleanup upgrader_utils
                                            $<TARGET_NAME_IF_EXISTS:qx_old_kernel>)
qx_host_target(cleanup_probe)
add_dependencies(target_tests cleanup_probe)
