#include "tests/container/test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "gtest/gtest.h"
#include "utils/upgrader_utils.h"

// Takes the place of the device's log writer (see utils/upgrader_utils.h).
int qx::upgrader::utils::LogToUpgradeLog(const std::string& message) {
  qx::test::LoggedLines().push_back(message);
  return 0;
}

namespace qx::test {

std::vector<std::string>& LoggedLines() {
  static std::vector<std::string> lines;
  return lines;
}

TempDir::TempDir() : path(std::filesystem::temp_directory_path() / "qx-test-XXXXXX") {
  if (::mkdtemp(path.data()) == nullptr) ADD_FAILURE() << "cannot create " << path;
}

TempDir::~TempDir() { std::filesystem::remove_all(path); }

std::string ReadFile(const std::string& path) {
  std::ostringstream content;
  content << std::ifstream(path, std::ios::binary).rdbuf();
  return content.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  ASSERT_TRUE(std::ofstream(path, std::ios::binary) << bytes) << "cannot write " << path;
}

qx::udtool::UpgradeImage ImageWithSizes(const std::vector<std::size_t>& sizes) {
  qx::udtool::UpgradeImage image;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    std::string data(sizes[i], '\0');
    for (std::size_t j = 0; j < data.size(); ++j) data[j] = static_cast<char>(i * 31 + j * 7);
    image.files.push_back(qx::udtool::InnerFileSpec::FromData("f" + std::to_string(i), data));
  }
  return image;
}

std::string Build(const qx::udtool::UpgradeImage& image) {
  std::string bytes, error;
  EXPECT_TRUE(qx::udtool::BuildUpgradeFile(image, bytes, error)) << error;
  return bytes;
}

}  // namespace qx::test
