// The unit tests' upgrade log: lines are kept in memory so tests can assert them exactly, and
// nothing is ever written to the device path on the host.
#include "tests/container/test_support.h"
#include "utils/upgrader_utils.h"

namespace {
std::vector<std::string>& Lines() {
  static std::vector<std::string> lines;
  return lines;
}
}  // namespace

int qx::upgrader::utils::LogToUpgradeLog(const std::string& message) {
  Lines().push_back(message);
  return 0;
}

const std::vector<std::string>& qx::test::LoggedLines() { return Lines(); }
void qx::test::ClearLog() { Lines().clear(); }
