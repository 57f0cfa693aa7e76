// container_memory_probe FILE DIR: parses FILE and extracts every inner file into DIR, as the
// router does, then prints its peak resident set size in KiB and exits 0.
//
// The peak is this process's own high-water mark (VmHWM of /proc/self/status). The rusage
// figure a parent gets from wait4 will not do: exec records the high-water mark of the memory
// the child shared with its parent until then, so a large benchmark process would show through.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "container/upgrade_file.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: container_memory_probe FILE DIR\n");
    return 2;
  }
  qx::upgradeFile::UpgradeFile reader(argv[1]);
  if (!reader.ParseFile()) {
    std::fprintf(stderr, "%s\n", reader.ErrorMessage().c_str());
    return 1;
  }
  for (unsigned int index = 0; index < reader.InnerFiles().size(); ++index) {
    if (!reader.ExtractFile(index, std::string(argv[2]) + "/extracted-" + std::to_string(index))) {
      std::fprintf(stderr, "%s\n", reader.ErrorMessage().c_str());
      return 1;
    }
  }
  std::FILE* status = std::fopen("/proc/self/status", "r");
  char line[256];
  long peak_kib = -1;
  while (status != nullptr && std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, "VmHWM:", 6) == 0) peak_kib = std::strtol(line + 6, nullptr, 10);
  }
  if (status != nullptr) std::fclose(status);
  if (peak_kib < 0) return 1;
  std::printf("%ld\n", peak_kib);
  return 0;
}
