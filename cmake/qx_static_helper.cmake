# qx_sim_static_helper(<target> <sources>...): a program that runs inside a simulated device.
# Inside a device there is no host library: such programs are static, and never sanitized (a
# static program cannot carry the sanitizer runtimes).
include_guard(GLOBAL)

function(qx_sim_static_helper target)
  add_executable(${target} ${ARGN})
  target_compile_options(${target} PRIVATE -fno-sanitize=all)
  target_link_options(${target} PRIVATE -static -s -fno-sanitize=all)
  qx_host_target(${target})
endfunction()
