// Input: an upgrade file where it is, or a stream copied as far as the router would read it.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

#include "container/upgrade_file_format.h"
#include "tools/udtool_io.h"

namespace qx::udtool {
namespace {

namespace format = qx::upgradeFile::format;

// Past this the format's 32-bit offsets address nothing: a stream is never copied or counted
// beyond it, so an endless one (a device, a pipe that never closes) ends the copy.
constexpr std::uint64_t kMaxFileBytes = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kChunkBytes = 64 * 1024;

std::uint32_t BigEndian(const unsigned char* bytes, format::Field field) {
  std::uint32_t value = 0;
  for (unsigned int i = 0; i < field.size; ++i) value = (value << 8) | bytes[field.offset + i];
  return value;
}

const char* Kind(mode_t mode) {
  if (S_ISDIR(mode)) return "is a directory";
  if (S_ISCHR(mode)) return "not a regular file (character device)";
  if (S_ISSOCK(mode)) return "not a regular file (socket)";
  return nullptr;
}

// Moves bytes from the stream into the copy; to == -1 only counts them.
class Copier {
 public:
  Copier(int from, int to, std::string name, std::atomic<std::uint64_t>& copied)
      : from_(from),
        to_(to),
        name_(std::move(name)),
        copied_(copied),
        buffer_(new unsigned char[kChunkBytes]) {}

  // Up to count bytes (fewer at the end of the stream); the first ones also into keep.
  bool Copy(std::uint64_t count, std::uint64_t& got, std::string& error,
            unsigned char* keep = nullptr) {
    got = 0;
    while (got < count) {
      const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(kChunkBytes, count - got));
      const ssize_t n = ::read(from_, buffer_.get(), want);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        error = SystemError("cannot read", name_, errno);
        return false;
      }
      if (n == 0) break;
      if (keep != nullptr) std::memcpy(keep + got, buffer_.get(), static_cast<std::size_t>(n));
      if (to_ >= 0 && !WriteAll(static_cast<std::size_t>(n), error)) return false;
      got += static_cast<std::uint64_t>(n);
      if (to_ >= 0) copied_ += static_cast<std::uint64_t>(n);
    }
    return true;
  }

 private:
  bool WriteAll(std::size_t size, std::string& error) {
    for (std::size_t done = 0; done < size;) {
      const ssize_t n = ::write(to_, buffer_.get() + done, size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error = "cannot copy " + name_ +
                " into a temporary file: " + std::strerror(n < 0 ? errno : ENOSPC);
        return false;
      }
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  int from_, to_;
  std::string name_;
  std::atomic<std::uint64_t>& copied_;
  std::unique_ptr<unsigned char[]> buffer_;
};

// The position of the open file description that reads the file, from the kernel's table of
// this process's descriptors (the reader opens the file itself); 0 when none is found.
std::uint64_t PositionOfReader(const FileId& id, int exclude) {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return 0;
  std::uint64_t position = 0;
  while (const dirent* entry = ::readdir(dir)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    struct stat info {};
    if (end == entry->d_name || *end != '\0' || fd == exclude || fd == ::dirfd(dir) ||
        ::fstat(static_cast<int>(fd), &info) != 0 || !id.Same(info)) {
      continue;
    }
    const std::string fdinfo = "/proc/self/fdinfo/" + std::string(entry->d_name);
    if (FILE* file = std::fopen(fdinfo.c_str(), "re")) {
      unsigned long long pos = 0;
      if (std::fscanf(file, "pos: %llu", &pos) == 1 && pos > position) position = pos;
      std::fclose(file);
    }
  }
  ::closedir(dir);
  return position;
}

}  // namespace

Input::~Input() {
  if (spool_fd_ >= 0) ::close(spool_fd_);
  if (!spool_name_.empty()) {
    ::unlink(spool_name_.c_str());
    UnregisterTemporary(spool_name_);
  }
}

bool Input::Open(const std::string& name, std::string& error) {
  name_ = name;
  const bool standard_input = name == "-";
  const std::string shown = standard_input ? "standard input" : name;
  struct stat info {};
  if ((standard_input ? ::fstat(STDIN_FILENO, &info) : ::stat(name.c_str(), &info)) != 0) {
    error = SystemError("cannot read", shown, errno);
    return false;
  }
  id_ = {info.st_dev, info.st_ino};
  if (standard_input && ::isatty(STDIN_FILENO) == 1) {
    error = "cannot read standard input: is a terminal; give a FILE or a pipe";
    return false;
  }
  if (const char* kind = Kind(info.st_mode)) {
    error = "cannot read " + shown + ": " + kind;
    return false;
  }
  if (S_ISREG(info.st_mode) || S_ISBLK(info.st_mode)) {
    // Standard input on a regular file is read from its start, like any named file.
    path_ = standard_input ? "/proc/self/fd/0" : name;
    size_ = static_cast<std::uint64_t>(info.st_size);
    return true;
  }
  const int fd = standard_input ? STDIN_FILENO : ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = SystemError("cannot read", shown, errno);
    return false;
  }
  const bool ok = CopyStream(fd, error);
  if (!standard_input) ::close(fd);
  return ok;
}

bool Input::CreateCopy(std::string& error) {
  const char* tmpdir = std::getenv("TMPDIR");
  std::string copy =
      std::string(tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp") + "/.udtool-input-XXXXXX";
  spool_fd_ = MakeTemporaryFile(copy);
  if (spool_fd_ < 0) {
    error = SystemError("cannot create a temporary file in", DirectoryOf(copy), errno);
    return false;
  }
  // The reader opens the copy by name; the descriptor's own name outlives the file's, so the
  // copy can be unlinked at once and nothing is left behind, whatever ends the process.
  path_ = "/proc/self/fd/" + std::to_string(spool_fd_);
  struct stat by_name {};
  struct stat by_fd {};
  if (::fstat(spool_fd_, &by_fd) == 0) id_ = {by_fd.st_dev, by_fd.st_ino};
  if (::stat(path_.c_str(), &by_name) == 0 && id_.Same(by_name)) {
    ::unlink(copy.c_str());
    UnregisterTemporary(copy);
  } else {
    path_ = spool_name_ = copy;  // no /proc: removed by name at the end
  }
  return true;
}

bool Input::CopyStream(int from, std::string& error) {
  if (!CreateCopy(error)) return false;
  const std::string shown = name_ == "-" ? "standard input" : name_;
  Copier copier(from, spool_fd_, shown, copied_);
  unsigned char header[format::kHeaderBytes];
  std::uint64_t got = 0;
  bool walked = false;  // the copy reached the end of the inner file that meets the total
  if (!copier.Copy(sizeof header, got, error, header)) return false;
  const bool identified =
      got == sizeof header &&
      std::memcmp(header, format::kUpgradeFileIdentity, sizeof format::kUpgradeFileIdentity) == 0;
  const std::uint64_t total = identified ? BigEndian(header, format::kTotalDataSize) : 0;
  for (std::uint64_t sum = 0; identified && !walked;) {
    if (!copier.Copy(sizeof header, got, error, header)) return false;
    if (got < sizeof header ||
        std::memcmp(header, format::kInnerFileIdentity, sizeof format::kInnerFileIdentity) != 0) {
      break;
    }
    const std::uint64_t size = BigEndian(header, format::kDataSize);
    if (copied_ + size > kMaxFileBytes) break;  // the walk stops there too
    if (!copier.Copy(size, got, error)) return false;
    if (got < size) break;
    sum += size;
    walked = sum == total;
  }
  size_ = copied_;
  if (!walked) return true;
  Copier counter(from, -1, shown, copied_);
  if (!counter.Copy(kMaxFileBytes - size_, uncopied_, error)) return false;
  uncopied_at_least_ = size_ + uncopied_ == kMaxFileBytes;
  return true;
}

std::uint64_t Input::ReadPosition() const {
  const std::uint64_t position = PositionOfReader(id_, spool_fd_);
  return position > 0 ? position : copied_.load();
}

}  // namespace qx::udtool
