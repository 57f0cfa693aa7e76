// Scratch directories and files for the container and udtool tests.
#ifndef QX_TESTS_CONTAINER_TEST_SUPPORT_H_
#define QX_TESTS_CONTAINER_TEST_SUPPORT_H_

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "gtest/gtest.h"

namespace qx::test {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
struct TempDir {
  TempDir() : path(std::filesystem::temp_directory_path() / "qx-test-XXXXXX") {
    if (::mkdtemp(path.data()) == nullptr) ADD_FAILURE() << "cannot create " << path;
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string File(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

inline std::string ReadFile(const std::string& path) {
  std::ostringstream content;
  content << std::ifstream(path, std::ios::binary).rdbuf();
  return content.str();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  ASSERT_TRUE(std::ofstream(path, std::ios::binary) << bytes) << "cannot write " << path;
}

}  // namespace qx::test

#endif  // QX_TESTS_CONTAINER_TEST_SUPPORT_H_
