# Strict warnings for the project's own targets (not GoogleTest or Benchmark).
# qx_device_target: on-device code, held to the strictest set.
# qx_host_target: host tools, simulator, tests and benchmarks.
function(qx_device_target target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wformat=2 -Werror)
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

function(qx_host_target target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wformat=2 -Werror)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
endfunction()
