// main() for GoogleTest programs that run inside a simulated device (registered with
// qx_add_test ... INSIDE_DEVICE). It refuses to run anywhere else, before GoogleTest sees a single
// test.
#include "gtest/gtest.h"
#include "sim/inside/device_guard.h"

int main(int argc, char** argv) {
  qx::sim::RefuseOutsideDevice(argc > 0 ? argv[0] : nullptr);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
