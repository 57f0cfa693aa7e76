#include "tests/container/test_support.h"

#include <ftw.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "gtest/gtest.h"

namespace qx::test {
namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

}  // namespace

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/qx-container-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "cannot create a scratch directory from " << pattern;
  }
  path_ = pattern;
}

TempDir::~TempDir() { ::nftw(path_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

std::string Hex(const unsigned char* bytes, std::size_t size) {
  std::string out;
  char pair[3];
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
    out += pair;
  }
  return out;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << "cannot write " << path;
}

std::string Build(const qx::udtool::UpgradeImage& image) {
  std::string bytes;
  std::string error;
  EXPECT_TRUE(qx::udtool::BuildUpgradeFile(image, bytes, error)) << error;
  return bytes;
}

qx::udtool::UpgradeImage ImageWithSizes(const std::vector<std::size_t>& sizes) {
  qx::udtool::UpgradeImage image;
  image.header.version = 3;
  image.header.upgrade_name = "test upgrade";
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    std::string data(sizes[i], '\0');
    for (std::size_t j = 0; j < data.size(); ++j) data[j] = static_cast<char>(i * 31 + j * 7);
    image.files.push_back(
        qx::udtool::InnerFileSpec::FromData("f" + std::to_string(i), std::move(data)));
  }
  return image;
}

}  // namespace qx::test
