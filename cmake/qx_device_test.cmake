# Tests that run inside a simulated device are registered like every other test:
# qx_add_test(... INSIDE_DEVICE ...) in cmake/qx_test.cmake. The simulator's build includes this
# file for them.
include(${CMAKE_CURRENT_LIST_DIR}/qx_test.cmake)
