#include "bench/container/bench_files.h"

#include <ftw.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <vector>

#include "tools/upgrade_file_writer.h"

namespace qx::bench {
namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

void RemoveScratch() { ::nftw(ScratchDirectory().c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

}  // namespace

const std::string& ScratchDirectory() {
  static const std::string directory = [] {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/qx-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::exit(1);
    }
    return pattern;
  }();
  // Registered only once the name above is complete, so the clean-up runs before the name is
  // destroyed at exit, never after.
  static const bool removed_at_exit = std::atexit(RemoveScratch) == 0;
  (void)removed_at_exit;
  return directory;
}

const std::string& UpgradeFileOfSize(std::size_t total_bytes) {
  static std::map<std::size_t, std::string> made;
  auto found = made.find(total_bytes);
  if (found != made.end()) return found->second;

  // The router's layout: two small inner files, then validator, kernel image and database.
  const std::size_t sizes[] = {1000, 2000, total_bytes / 16, total_bytes / 3};
  std::size_t used = 0;
  qx::udtool::UpgradeImage image;
  image.header.upgrade_name = "benchmark image";
  std::mt19937 generator(7);
  auto add = [&](const char* name, std::size_t size) {
    std::string data(size, '\0');
    for (char& byte : data) byte = static_cast<char>(generator());
    image.files.push_back(qx::udtool::InnerFileSpec::FromData(name, std::move(data)));
    used += size;
  };
  add("info", sizes[0]);
  add("notes", sizes[1]);
  add("fs-validator", sizes[2]);
  add("kernel_image", sizes[3]);
  add("filesystem.db", total_bytes - used);

  const std::string path = ScratchDirectory() + "/ud-" + std::to_string(total_bytes) + ".bin";
  std::string error;
  if (!qx::udtool::WriteUpgradeFile(image, path, error)) {
    std::fprintf(stderr, "cannot write %s: %s\n", path.c_str(), error.c_str());
    std::exit(1);
  }
  std::ifstream warm(path, std::ios::binary);  // into the page cache
  std::vector<char> sink(1 << 20);
  while (warm.read(sink.data(), static_cast<std::streamsize>(sink.size()))) {
  }
  return made.emplace(total_bytes, path).first->second;
}

}  // namespace qx::bench
