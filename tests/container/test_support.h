// Helpers shared by the container and udtool tests.
#ifndef QX_TESTS_CONTAINER_TEST_SUPPORT_H_
#define QX_TESTS_CONTAINER_TEST_SUPPORT_H_

#include <string>
#include <vector>

#include "tools/upgrade_file_writer.h"

namespace qx::test {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
struct TempDir {
  TempDir();
  ~TempDir();
  std::string File(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

// An image made by the host writer with inner files "f0", "f1", ... of the given data sizes
// (bytes that differ per file and per position), and its bytes; Build fails the current test
// if the writer refuses.
qx::udtool::UpgradeImage ImageWithSizes(const std::vector<std::size_t>& sizes);
std::string Build(const qx::udtool::UpgradeImage& image);

// The messages passed to LogToUpgradeLog, kept in memory: the device path is never written.
std::vector<std::string>& LoggedLines();

}  // namespace qx::test

#endif  // QX_TESTS_CONTAINER_TEST_SUPPORT_H_
