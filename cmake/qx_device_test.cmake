# qx_add_device_test: registers a GoogleTest program that runs INSIDE a fresh simulated device.
#
#   qx_add_device_test(NAME <ctest name> TARGET <gtest executable target>
#                      [ROOT_SIZE <bytes>] [KERNEL_BANNER <text>]
#                      [PROC_VERSION banner|unreadable|absent] [NO_BOARD] [TIMEOUT <seconds>])
#
# The test runs `device-sim run --quiet`: a new device with these options, the executable copied
# in (with its loader and libraries) as /opt/qx-test/<target>, run there as root; its output and
# exit status are the test's. Link the target with qx_device_test_main, which refuses to run
# outside a device. KERNEL_BANNER is the whole /proc/version text, used as given.
function(qx_add_device_test)
  cmake_parse_arguments(PARSE_ARGV 0 ARG "NO_BOARD"
    "NAME;TARGET;ROOT_SIZE;KERNEL_BANNER;PROC_VERSION;TIMEOUT" "")
  if(NOT ARG_NAME OR NOT ARG_TARGET)
    message(FATAL_ERROR "qx_add_device_test: NAME and TARGET are required")
  endif()
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "qx_add_device_test: unknown arguments ${ARG_UNPARSED_ARGUMENTS}")
  endif()
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
      message(FATAL_ERROR "qx_add_device_test: PROC_VERSION must be banner, unreadable or absent")
    endif()
    list(APPEND command --proc-version ${ARG_PROC_VERSION})
  endif()
  if(ARG_NO_BOARD)
    list(APPEND command --no-board)
  endif()
  set(timeout 120)
  if(DEFINED ARG_TIMEOUT)
    set(timeout ${ARG_TIMEOUT})
  endif()
  list(APPEND command --timeout ${timeout}
    --copy $<TARGET_FILE:${ARG_TARGET}>:${device_path} -- ${device_path})
  add_test(NAME ${ARG_NAME} COMMAND ${command})
  math(EXPR ctest_timeout "${timeout} + 30")
  set_tests_properties(${ARG_NAME} PROPERTIES TIMEOUT ${ctest_timeout} LABELS device)
endfunction()
