# qx_add_test: the one way a test is registered. Every test gets its tier as its label and a
# TIMEOUT (cmake/qx_check_test_timeouts.cmake fails a listing where one has none).
#
#   qx_add_test(NAME <name> COMMAND <command> [<arg>...] TIER <tier> [TIMEOUT <seconds>]
#               [NEEDS <target>...])
#       any command: a script, a program with arguments; NEEDS: the targets it runs
#   qx_add_test(NAME <name> TARGET <target> TIER <tier> [TIMEOUT <seconds>])
#       the program alone, as one test
#   qx_add_test(TARGET <target> CASES [PRE_TEST] TIER <tier> [TIMEOUT <seconds>])
#       a GoogleTest program, one test per case (listed after the build, or before each run
#       with PRE_TEST, for programs that cannot run when they are built)
#   qx_add_test(NAME <name> TARGET <target> INSIDE_DEVICE [TIER device] [TIMEOUT <seconds>]
#               [ROOT_SIZE <bytes>] [KERNEL_BANNER <text>]
#               [PROC_VERSION banner|unreadable|absent] [NO_BOARD])
#       a GoogleTest program run INSIDE a fresh simulated device (below)
#
# Tiers:
#   unit    needs neither root nor a device: runs anywhere, in seconds (ctest -L unit)
#   root    needs root on the host (private mounts), no device
#   device  starts simulated devices (as root, or as a user with a user namespace)
#
# TIMEOUT defaults to 120 s for unit tests and to 300 s otherwise. The target <tier>_tier
# (unit_tier, device_tier, ...) builds that tier's programs and what they run, alone.
#
# INSIDE_DEVICE runs `device-sim run --quiet`: a new device with the options given, the program
# copied in (with its loader and libraries) as /opt/qx-test/<target>, run there as root; its
# output and exit status are the test's. Link the target with qx_device_test_main, which refuses
# to run outside a device. KERNEL_BANNER is the whole /proc/version text, used as given.
# TIMEOUT is device-sim's own limit (120 s unless given); ctest allows 30 s more.
include_guard(GLOBAL)
include(GoogleTest)

function(qx_add_test)
  cmake_parse_arguments(PARSE_ARGV 0 ARG "CASES;PRE_TEST;INSIDE_DEVICE;NO_BOARD"
    "NAME;TARGET;TIER;TIMEOUT;ROOT_SIZE;KERNEL_BANNER;PROC_VERSION" "COMMAND;NEEDS")
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "qx_add_test: unknown arguments ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  if(ARG_INSIDE_DEVICE AND NOT DEFINED ARG_TIER)
    set(ARG_TIER device)
  endif()
  if(NOT ARG_TIER MATCHES "^(unit|root|device)$")
    message(FATAL_ERROR "qx_add_test: TIER must be unit, root or device")
  endif()
  if(ARG_COMMAND)
    set(mode command)
  elseif(ARG_CASES)
    set(mode cases)
  elseif(ARG_INSIDE_DEVICE)
    set(mode inside)
  else()
    set(mode program)
  endif()
  # Each form takes exactly its own arguments.
  set(wrong FALSE)
  if(mode STREQUAL "command")
    if(DEFINED ARG_TARGET OR ARG_CASES OR ARG_INSIDE_DEVICE)
      set(wrong TRUE)
    endif()
  elseif(NOT DEFINED ARG_TARGET)
    set(wrong TRUE)
  endif()
  if(mode STREQUAL "cases")
    if(DEFINED ARG_NAME OR ARG_INSIDE_DEVICE)
      set(wrong TRUE)
    endif()
  elseif(NOT DEFINED ARG_NAME OR ARG_PRE_TEST)
    set(wrong TRUE)
  endif()
  if(ARG_INSIDE_DEVICE)
    if(NOT ARG_TIER STREQUAL "device")
      set(wrong TRUE)
    endif()
  elseif(ARG_NO_BOARD OR DEFINED ARG_ROOT_SIZE OR DEFINED ARG_KERNEL_BANNER OR
         DEFINED ARG_PROC_VERSION)
    set(wrong TRUE)
  endif()
  if(wrong)
    message(FATAL_ERROR "qx_add_test: arguments of no one form (cmake/qx_test.cmake lists them): "
      "${ARGV}")
  endif()

  if(DEFINED ARG_TIMEOUT)
    set(timeout ${ARG_TIMEOUT})
  elseif(mode STREQUAL "inside")
    set(timeout 120)
  elseif(ARG_TIER STREQUAL "unit")
    set(timeout 120)
  else()
    set(timeout 300)
  endif()

  # Each tier builds on its own (target <tier>_tier): the unit tier first, so that its verdict
  # comes before the rest of the build; the device tier alone where only it runs.
  if(mode STREQUAL "inside")
    list(APPEND ARG_NEEDS device-sim)
  endif()
  if(DEFINED ARG_TARGET OR ARG_NEEDS)
    if(NOT TARGET ${ARG_TIER}_tier)
      add_custom_target(${ARG_TIER}_tier)
    endif()
    add_dependencies(${ARG_TIER}_tier ${ARG_TARGET} ${ARG_NEEDS})
  endif()

  if(mode STREQUAL "cases")
    set(discovery)
    if(ARG_PRE_TEST)
      set(discovery DISCOVERY_MODE PRE_TEST)
    endif()
    gtest_discover_tests(${ARG_TARGET} ${discovery}
      PROPERTIES LABELS ${ARG_TIER} TIMEOUT ${timeout})
    return()
  endif()

  if(mode STREQUAL "command")
    set(command ${ARG_COMMAND})
  elseif(mode STREQUAL "program")
    set(command ${ARG_TARGET})
  else()
    set(device_path /opt/qx-test/${ARG_TARGET})
    set(command $<TARGET_FILE:device-sim> run --quiet)
    if(DEFINED ARG_ROOT_SIZE)
      list(APPEND command --root-size ${ARG_ROOT_SIZE})
    endif()
    if(DEFINED ARG_KERNEL_BANNER)
      list(APPEND command --kernel-banner ${ARG_KERNEL_BANNER})
    endif()
    if(DEFINED ARG_PROC_VERSION)
      if(NOT ARG_PROC_VERSION MATCHES "^(banner|unreadable|absent)$")
        message(FATAL_ERROR "qx_add_test: PROC_VERSION must be banner, unreadable or absent")
      endif()
      list(APPEND command --proc-version ${ARG_PROC_VERSION})
    endif()
    if(ARG_NO_BOARD)
      list(APPEND command --no-board)
    endif()
    list(APPEND command --timeout ${timeout}
      --copy $<TARGET_FILE:${ARG_TARGET}>:${device_path} -- ${device_path})
    math(EXPR timeout "${timeout} + 30")
  endif()
  add_test(NAME ${ARG_NAME} COMMAND ${command})
  set_tests_properties(${ARG_NAME} PROPERTIES LABELS ${ARG_TIER} TIMEOUT ${timeout})
endfunction()
