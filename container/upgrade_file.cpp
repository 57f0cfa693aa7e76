#include "container/upgrade_file.h"

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include "utils/upgrader_utils.h"

namespace qx::upgradeFile {
namespace {

using format::kCopyBufferBytes;
using format::kHeaderBytes;

// O_NONBLOCK: a FIFO or a device named like an upgrade file fails at its first read instead of
// blocking the run while the router's services are down. It changes nothing for regular files.
constexpr int kUpgradeFileFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
// The extraction path is unlinked first and then created afresh, never opened as it stands: /tmp
// shares its file system with /etc, so a hard link planted there would make root overwrite the
// linked file. O_EXCL fails if anything appears at the path in between (a link included), so
// an existing file is never opened; O_NOFOLLOW and O_NONBLOCK stay as a second line of defence.
constexpr int kExtractionFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
constexpr mode_t kExtractionMode = 0755;

// Data offsets are 32-bit: an inner file whose bytes run past this could not be found again.
constexpr std::uint64_t kLastAddressableByte = std::numeric_limits<std::uint32_t>::max();

// One read() of count bytes; EINTR is retried. Returns the byte count or -1.
ssize_t ReadOnce(int fd, unsigned char* buffer, std::size_t count) {
  ssize_t got;
  do {
    got = ::read(fd, buffer, count);
  } while (got < 0 && errno == EINTR);
  return got;
}

// True when one read() gives exactly count bytes: a short read is a truncated file.
bool ReadExactly(int fd, unsigned char* buffer, std::size_t count) {
  const ssize_t got = ReadOnce(fd, buffer, count);
  return got >= 0 && static_cast<std::size_t>(got) == count;
}

// Reads size data bytes in chunks of at most one buffer, appending each to the digest.
bool ReadAndHashData(int fd, std::uint32_t size, unsigned char* buffer, md5_state& state) {
  std::uint32_t remaining = size;
  while (remaining != 0) {
    const std::size_t chunk = remaining < kCopyBufferBytes ? remaining : kCopyBufferBytes;
    if (!ReadExactly(fd, buffer, chunk)) return false;
    md5_append(&state, buffer, static_cast<int>(chunk));
    remaining -= static_cast<std::uint32_t>(chunk);
  }
  return true;
}

// Writes all size bytes; errno_out receives the failing call's error, 0 when none was written.
bool WriteAll(int fd, const unsigned char* data, std::size_t size, int& errno_out) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      errno_out = written < 0 ? errno : 0;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

bool UpgradeFile::Fail(std::string message) {
  error_message_ = std::move(message);
  return false;
}

bool UpgradeFile::FailWithErrno(const char* what, const std::string& path, int error) {
  return Fail(what + path + ": error: " + std::strerror(error));
}

bool UpgradeFile::ParseFile(std::string const& path) {
  // A reader may be parsed again: nothing of an earlier walk survives into this one.
  header_ = UpgradeFileInformation();
  data_offsets_.clear();
  inner_files_.clear();
  valid_ = false;

  if (path.empty() && path_.empty()) return Fail("No file specified");
  if (!path.empty()) path_ = path;

  const int fd = ::open(path_.c_str(), kUpgradeFileFlags);
  if (fd < 0) return FailWithErrno("Couldn't open file ", path_, errno);

  unsigned char buffer[kCopyBufferBytes];
  bool walked = false;
  if (!ReadExactly(fd, buffer, kHeaderBytes)) {
    Fail("Unable to read header bytes");
  } else if (!header_.ParseHeader(buffer, kHeaderBytes)) {
    Fail("Unable to parse header");
  } else {
    qx::upgrader::utils::LogToUpgradeLog("Upgrade file size " + std::to_string(header_.FileSize()));
    walked = WalkInnerFiles(fd, buffer);
  }
  ::close(fd);
  valid_ = walked;
  return walked;
}

// Walks inner files until the data sizes read so far add up exactly to the total data size.
// The sum is kept in 64 bits, so data sizes that overshoot the total never wrap around to meet
// it; such a walk goes on into the bytes that follow and fails there.
bool UpgradeFile::WalkInnerFiles(int fd, unsigned char* buffer) {
  const std::uint64_t total = header_.FileSize();
  std::uint64_t consumed = kHeaderBytes;
  std::uint64_t walked = 0;
  for (;;) {
    if (walked == kMaxInnerFiles) {
      return Fail("More than " + std::to_string(kMaxInnerFiles) + " inner files");
    }
    InnerFile inner;
    if (!ReadInnerFile(fd, consumed, buffer, inner)) return false;
    const std::uint64_t data_offset = consumed + kHeaderBytes;
    data_offsets_.push_back(static_cast<std::uint32_t>(data_offset));
    inner_files_.push_back(std::move(inner));
    consumed = data_offset + inner_files_.back().FileSize();
    ++walked;
    if (consumed == kHeaderBytes + kHeaderBytes * walked + total) return true;
  }
}

// Reads, parses and digest-checks the inner file whose header starts at offset consumed.
bool UpgradeFile::ReadInnerFile(int fd, std::uint64_t consumed, unsigned char* buffer,
                                InnerFile& inner) {
  md5_state state;
  md5_init(&state);
  if (!ReadExactly(fd, buffer, kHeaderBytes)) return Fail("Unable to read inner file header");
  md5_append(&state, buffer, static_cast<int>(format::kHashedHeaderBytes));
  if (!inner.ParseHeader(buffer, kHeaderBytes)) return Fail("Unable to parse inner header");
  if (consumed + kHeaderBytes + inner.FileSize() > kLastAddressableByte) {
    return Fail("Inner file runs past 4 GiB");
  }
  if (!ReadAndHashData(fd, inner.FileSize(), buffer, state)) return Fail("Unable to read bytes");
  unsigned char digest[format::kDigestBytes];
  md5_finish(&state, digest);
  if (!inner.ValidateMD5Hash(digest, format::kDigestBytes)) {
    return Fail("Inner header MD5 check failed");
  }
  return true;
}

bool UpgradeFile::ExtractFile(unsigned int index, std::string const& extraction_path) {
  if (index >= data_offsets_.size()) return Fail("Invalid offset");

  const int from = ::open(path_.c_str(), kUpgradeFileFlags);
  if (from < 0) return FailWithErrno("Couldn't open upgrade file ", path_, errno);
  if (::lseek(from, static_cast<off_t>(data_offsets_[index]), SEEK_SET) < 0) {
    const int error = errno;
    ::close(from);
    return FailWithErrno("Unable to find internal file in ", path_, error);
  }
  (void)::unlink(extraction_path.c_str());  // whatever stands there goes; the open says if it stays
  const int to = ::open(extraction_path.c_str(), kExtractionFlags, kExtractionMode);
  if (to < 0) {
    const int error = errno;
    ::close(from);
    return FailWithErrno("Couldn't open extraction file ", extraction_path, error);
  }
  bool copied = CopyData(from, to, inner_files_[index].FileSize(), extraction_path);
  // A failed close can be the first report of a failed write: the copy is not complete then.
  if (::close(to) != 0 && copied) {
    copied = FailWithErrno("Unable to write extraction file ", extraction_path, errno);
  }
  ::close(from);
  return copied;
}

bool UpgradeFile::CopyData(int from, int to, std::uint32_t size,
                           const std::string& extraction_path) {
  unsigned char buffer[kCopyBufferBytes];
  std::uint32_t remaining = size;
  while (remaining != 0) {
    const std::size_t chunk = remaining < kCopyBufferBytes ? remaining : kCopyBufferBytes;
    // A short read is accepted here: the walk has already proved the bytes are there.
    const ssize_t got = ReadOnce(from, buffer, chunk);
    if (got <= 0) return Fail("Error reading internal file to extract");
    int write_error = 0;
    if (!WriteAll(to, buffer, static_cast<std::size_t>(got), write_error)) {
      if (write_error == 0) {
        return Fail("Unable to write extraction file " + extraction_path +
                    ": error: no bytes written");
      }
      return FailWithErrno("Unable to write extraction file ", extraction_path, write_error);
    }
    remaining -= static_cast<std::uint32_t>(got);
  }
  return true;
}

}  // namespace qx::upgradeFile
