// Any bytes as a whole upgrade file: ParseFile, then ExtractFile of every inner file the walk
// completed. The file lives in a memfd (no fixed path); extraction goes to a private temp dir.
// Every extracted file must hold exactly the bytes at its recorded offset.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "container/upgrade_file.h"

namespace {

struct Scratch {
  int fd = -1;
  std::string path;        // /proc/self/fd/N of the memfd
  std::string directory;   // private extraction directory
  std::string extraction;  // the one extraction file, overwritten by every call
};

void RemoveScratch();

Scratch& GetScratch() {
  static Scratch scratch = [] {
    Scratch s;
    s.fd = ::memfd_create("ud-fuzz", MFD_CLOEXEC);
    if (s.fd < 0) std::abort();
    s.path = "/proc/self/fd/" + std::to_string(s.fd);
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") + "/qx-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    s.directory = pattern;
    s.extraction = s.directory + "/extracted";
    std::atexit(RemoveScratch);
    return s;
  }();
  return scratch;
}

void RemoveScratch() {
  ::unlink(GetScratch().extraction.c_str());
  ::rmdir(GetScratch().directory.c_str());
}

void Store(int fd, const std::uint8_t* data, std::size_t size) {
  if (::ftruncate(fd, 0) != 0) std::abort();
  std::size_t done = 0;
  while (done < size) {
    const ssize_t written = ::pwrite(fd, data + done, size - done, static_cast<off_t>(done));
    if (written <= 0) std::abort();
    done += static_cast<std::size_t>(written);
  }
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Scratch& scratch = GetScratch();
  Store(scratch.fd, data, size);
  qx::upgradeFile::UpgradeFile reader(scratch.path);
  const bool valid = reader.ParseFile();
  const auto& offsets = reader.DataOffsets();
  if (valid != reader.Valid() || offsets.size() != reader.InnerFiles().size() ||
      (valid && offsets.empty())) {
    std::abort();
  }
  for (unsigned int index = 0; index <= offsets.size(); ++index) {
    const bool extracted = reader.ExtractFile(index, scratch.extraction);
    if (index == offsets.size()) {
      if (extracted || reader.ErrorMessage() != "Invalid offset") std::abort();
      break;
    }
    const std::size_t begin = offsets[index];
    const std::size_t length = reader.InnerFiles()[index].FileSize();
    if (!extracted || begin + length > size ||
        ReadAll(scratch.extraction) !=
            std::string(reinterpret_cast<const char*>(data) + begin, length)) {
      std::abort();
    }
  }
  return 0;
}
