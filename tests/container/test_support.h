// Helpers shared by the container and udtool tests: a private scratch directory, whole-file
// reads and writes, and the log lines recorded by the tests' own LogToUpgradeLog.
#ifndef QX_TESTS_CONTAINER_TEST_SUPPORT_H_
#define QX_TESTS_CONTAINER_TEST_SUPPORT_H_

#include <string>
#include <vector>

#include "tools/upgrade_file_writer.h"

namespace qx::test {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string Hex(const unsigned char* bytes, std::size_t size);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

// The bytes of an upgrade file made by the writer; fails the current test if it refuses.
std::string Build(const qx::udtool::UpgradeImage& image);

// An image with inner files of the given data sizes, named "f0", "f1", ..., with bytes that
// differ per file and per position.
qx::udtool::UpgradeImage ImageWithSizes(const std::vector<std::size_t>& sizes);

// Lines passed to LogToUpgradeLog since the last ClearLog (binaries that link recording_log).
const std::vector<std::string>& LoggedLines();
void ClearLog();

}  // namespace qx::test

#endif  // QX_TESTS_CONTAINER_TEST_SUPPORT_H_
