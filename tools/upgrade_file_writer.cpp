#include "tools/upgrade_file_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

#include "container/md5.h"

namespace qx::udtool {
namespace {

using format::Field;
using format::kHeaderBytes;
using Header = std::array<unsigned char, kHeaderBytes>;

constexpr std::uint64_t kMaxFileBytes = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kStreamChunkBytes = 64 * 1024;

std::string SystemError(const std::string& what, const std::string& path, int error) {
  return what + " " + path + ": " + std::strerror(error);
}

void PutBigEndian(Header& header, Field field, std::uint32_t value) {
  for (unsigned int i = 0; i < field.size; ++i) {
    header[field.offset + field.size - 1 - i] = static_cast<unsigned char>(value >> (8 * i));
  }
}

void PutBytes(Header& header, Field field, const std::string& text) {
  std::memcpy(header.data() + field.offset, text.data(),
              std::min<std::size_t>(text.size(), field.size));
}

bool FitsField(const std::string& what, const std::string& text, Field field, std::string& error) {
  if (text.size() <= field.size) return true;
  error = what + " is " + std::to_string(text.size()) + " bytes long; its field holds at most " +
          std::to_string(field.size);
  return false;
}

// An inner file's size goes into the header before its bytes: only a regular file has one.
const char* NotRegular(mode_t mode) {
  if (S_ISDIR(mode)) return "is a directory";
  if (S_ISFIFO(mode)) return "not a regular file (FIFO)";
  if (S_ISCHR(mode)) return "not a regular file (character device)";
  if (S_ISBLK(mode)) return "not a regular file (block device)";
  return "not a regular file (socket)";
}

void FlipDigestBit(Header& header, Field digest) { header[digest.offset] ^= 0x01; }

// Where the bytes go: a string in memory, or a file descriptor. The inner header is written
// before its data, and its digest, which covers the data, is patched in afterwards.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual bool Write(const unsigned char* data, std::size_t size, std::string& error) = 0;
  virtual bool PatchAt(std::uint64_t offset, const unsigned char* data, std::size_t size,
                       std::string& error) = 0;
  virtual bool Seekable() const { return true; }
};

class StringSink : public Sink {
 public:
  bool Write(const unsigned char* data, std::size_t size, std::string&) override {
    bytes_.append(reinterpret_cast<const char*>(data), size);
    return true;
  }
  bool PatchAt(std::uint64_t offset, const unsigned char* data, std::size_t size,
               std::string&) override {
    bytes_.replace(offset, size, reinterpret_cast<const char*>(data), size);
    return true;
  }
  std::string& Bytes() { return bytes_; }

 private:
  std::string bytes_;
};

class FdSink : public Sink {
 public:
  FdSink(int fd, std::string path, bool seekable = true,
         std::function<void(std::size_t)> wrote = nullptr)
      : fd_(fd), path_(std::move(path)), seekable_(seekable), wrote_(std::move(wrote)) {}
  bool Seekable() const override { return seekable_; }
  bool Write(const unsigned char* data, std::size_t size, std::string& error) override {
    if (wrote_) wrote_(size);
    while (size > 0) {
      const ssize_t written = ::write(fd_, data, size);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        error = SystemError("cannot write", path_, written < 0 ? errno : ENOSPC);
        return false;
      }
      data += written;
      size -= static_cast<std::size_t>(written);
    }
    return true;
  }
  bool PatchAt(std::uint64_t offset, const unsigned char* data, std::size_t size,
               std::string& error) override {
    if (::pwrite(fd_, data, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size)) {
      return true;
    }
    error = SystemError("cannot write", path_, errno);
    return false;
  }

 private:
  int fd_;
  std::string path_;
  bool seekable_;
  std::function<void(std::size_t)> wrote_;
};

// Checks every field and size before a byte is written; sizes receives each file's data size.
bool Validate(const UpgradeImage& image, std::vector<std::uint64_t>& sizes, std::string& error) {
  const UpgradeHeaderFields& h = image.header;
  if (!FitsField("upgrade name", h.upgrade_name, format::kUpgradeName, error) ||
      !FitsField("release name", h.release_name, format::kReleaseName, error) ||
      !FitsField("file date", h.file_date, format::kFileDate, error) ||
      !FitsField("auxiliary text 1", h.auxiliary_text1, format::kAuxiliaryText1, error) ||
      !FitsField("auxiliary text 2", h.auxiliary_text2, format::kAuxiliaryText2, error) ||
      !FitsField("header reserved bytes", h.reserved, format::kUpgradeReserved, error)) {
    return false;
  }
  if (image.files.empty()) {
    error = "an upgrade file needs at least one inner file";
    return false;
  }
  std::uint64_t file_bytes = kHeaderBytes + image.trailing_bytes.size();
  for (std::size_t i = 0; i < image.files.size(); ++i) {
    const InnerFileSpec& spec = image.files[i];
    const std::string what = "inner file " + std::to_string(i) + " (" + spec.name + ")";
    if (!FitsField(what + " name", spec.name, format::kInnerName, error) ||
        !FitsField(what + " reserved bytes", spec.reserved, format::kInnerReserved, error)) {
      return false;
    }
    std::uint64_t size = spec.data.size();
    if (!spec.host_path.empty()) {
      struct stat info {};
      if (::stat(spec.host_path.c_str(), &info) != 0) {
        error = SystemError("cannot read", spec.host_path, errno);
        return false;
      }
      if (!S_ISREG(info.st_mode)) {
        error = "cannot read " + spec.host_path + ": " + NotRegular(info.st_mode);
        return false;
      }
      size = static_cast<std::uint64_t>(info.st_size);
    }
    sizes.push_back(size);
    file_bytes += kHeaderBytes + size;
    if (file_bytes > kMaxFileBytes) {
      error = what +
              " makes the upgrade file larger than 4294967295 bytes, which 32-bit sizes "
              "and offsets cannot address";
      return false;
    }
  }
  return true;
}

// Streams one inner file's data into the digest and, unless sink is null, the sink.
bool WriteData(const InnerFileSpec& spec, std::uint64_t size, md5_state& state, Sink* sink,
               std::string& error) {
  if (spec.host_path.empty()) {
    const auto* data = reinterpret_cast<const unsigned char*>(spec.data.data());
    for (std::size_t done = 0; done < spec.data.size(); done += kStreamChunkBytes) {
      const std::size_t chunk = std::min(kStreamChunkBytes, spec.data.size() - done);
      md5_append(&state, data + done, static_cast<int>(chunk));
    }
    return sink == nullptr || sink->Write(data, spec.data.size(), error);
  }
  const int fd = ::open(spec.host_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = SystemError("cannot read", spec.host_path, errno);
    return false;
  }
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[kStreamChunkBytes]);
  std::uint64_t done = 0;
  bool ok = true;
  for (;;) {
    const ssize_t got = ::read(fd, buffer.get(), kStreamChunkBytes);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      error = SystemError("cannot read", spec.host_path, errno);
      ok = false;
    } else if (got > 0 && done + static_cast<std::uint64_t>(got) <= size) {
      done += static_cast<std::uint64_t>(got);
      md5_append(&state, buffer.get(), static_cast<int>(got));
      if (sink == nullptr || sink->Write(buffer.get(), static_cast<std::size_t>(got), error)) {
        continue;
      }
      ok = false;
    } else if (got > 0 || done != size) {
      error = spec.host_path + " changed size while it was being read";
      ok = false;
    }
    break;
  }
  ::close(fd);
  return ok;
}

// Writes one inner file: header, data, and the digest that covers both. A sink that cannot seek
// gets the digest in the header as written, from a first pass over the data.
bool WriteInner(const InnerFileSpec& spec, std::uint64_t size, std::uint64_t offset, Sink& sink,
                std::string& error) {
  Header inner =
      EncodeInnerHeader(spec, spec.declared_data_size.value_or(static_cast<std::uint32_t>(size)));
  unsigned char* digest = inner.data() + format::kInnerDigest.offset;
  md5_state state;
  md5_init(&state);
  md5_append(&state, inner.data(), static_cast<int>(format::kHashedHeaderBytes));
  const md5_state header_only = state;
  if (!sink.Seekable()) {
    if (!WriteData(spec, size, state, nullptr, error)) return false;
    md5_finish(&state, digest);
    if (spec.corrupt_digest) FlipDigestBit(inner, format::kInnerDigest);
    state = header_only;
  }
  if (!sink.Write(inner.data(), inner.size(), error) ||
      !WriteData(spec, size, state, &sink, error)) {
    return false;
  }
  unsigned char computed[format::kDigestBytes];
  md5_finish(&state, computed);
  if (!sink.Seekable()) {
    if (spec.corrupt_digest) computed[0] ^= 0x01;
    if (std::memcmp(computed, digest, sizeof computed) == 0) return true;
    error = spec.host_path + " changed while it was being read";
    return false;
  }
  std::memcpy(digest, computed, sizeof computed);
  if (spec.corrupt_digest) FlipDigestBit(inner, format::kInnerDigest);
  return sink.PatchAt(offset + format::kInnerDigest.offset, digest, format::kDigestBytes, error);
}

bool WriteImage(const UpgradeImage& image, Sink& sink, std::string& error) {
  std::vector<std::uint64_t> sizes;
  if (!Validate(image, sizes, error)) return false;
  std::uint64_t total = 0;
  for (std::uint64_t size : sizes) total += size;
  Header header = EncodeUpgradeHeader(
      image.header, image.declared_total_data_size.value_or(static_cast<std::uint32_t>(total)));
  if (image.corrupt_header_digest) FlipDigestBit(header, format::kUpgradeDigest);
  if (!sink.Write(header.data(), header.size(), error)) return false;

  std::uint64_t offset = kHeaderBytes;
  for (std::size_t i = 0; i < image.files.size(); ++i) {
    if (!WriteInner(image.files[i], sizes[i], offset, sink, error)) return false;
    offset += kHeaderBytes + sizes[i];
  }
  const auto* trailing = reinterpret_cast<const unsigned char*>(image.trailing_bytes.data());
  return sink.Write(trailing, image.trailing_bytes.size(), error);
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

InnerFileSpec InnerFileSpec::FromData(std::string name, std::string data) {
  InnerFileSpec spec;
  spec.name = std::move(name);
  spec.data = std::move(data);
  return spec;
}

InnerFileSpec InnerFileSpec::FromPath(std::string name, std::string host_path) {
  InnerFileSpec spec;
  spec.name = std::move(name);
  spec.host_path = std::move(host_path);
  return spec;
}

Header EncodeUpgradeHeader(const UpgradeHeaderFields& fields, std::uint32_t total_data_size) {
  Header header{};
  std::memcpy(header.data(), format::kUpgradeFileIdentity, sizeof format::kUpgradeFileIdentity);
  PutBigEndian(header, format::kVersion, fields.version);
  PutBytes(header, format::kUpgradeName, fields.upgrade_name);
  PutBytes(header, format::kReleaseName, fields.release_name);
  PutBytes(header, format::kFileDate, fields.file_date);
  PutBigEndian(header, format::kUpgradeId, fields.upgrade_id);
  PutBytes(header, format::kAuxiliaryText1, fields.auxiliary_text1);
  PutBytes(header, format::kAuxiliaryText2, fields.auxiliary_text2);
  PutBigEndian(header, format::kAuxiliaryWord, fields.auxiliary_word);
  PutBigEndian(header, format::kTotalDataSize, total_data_size);
  PutBytes(header, format::kUpgradeReserved, fields.reserved);
  md5_state state;
  md5_init(&state);
  md5_append(&state, header.data(), static_cast<int>(format::kHashedHeaderBytes));
  md5_finish(&state, header.data() + format::kUpgradeDigest.offset);
  return header;
}

Header EncodeInnerHeader(const InnerFileSpec& spec, std::uint32_t data_size) {
  Header header{};
  std::memcpy(header.data(), format::kInnerFileIdentity, sizeof format::kInnerFileIdentity);
  PutBigEndian(header, format::kInnerAuxiliaryWord1, spec.auxiliary_word1);
  PutBigEndian(header, format::kInnerAuxiliaryWord2, spec.auxiliary_word2);
  PutBigEndian(header, format::kDataSize, data_size);
  PutBytes(header, format::kInnerName, spec.name);
  PutBytes(header, format::kInnerReserved, spec.reserved);
  return header;
}

bool BuildUpgradeFile(const UpgradeImage& image, std::string& bytes, std::string& error) {
  StringSink sink;
  if (!WriteImage(image, sink, error)) return false;
  bytes = std::move(sink.Bytes());
  return true;
}

bool WriteUpgradeFileTo(const UpgradeImage& image, int fd, const std::string& name, bool seekable,
                        const std::function<void(std::size_t)>& wrote, std::string& error) {
  FdSink sink(fd, name, seekable, wrote);
  return WriteImage(image, sink, error);
}

bool WriteUpgradeFile(const UpgradeImage& image, const std::string& path, std::string& error) {
  std::string temporary = DirectoryOf(path) + "/.udtool-XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) {
    error = SystemError("cannot create a file in", DirectoryOf(path), errno);
    return false;
  }
  const mode_t mask = ::umask(0);
  ::umask(mask);
  FdSink sink(fd, path);
  bool ok = WriteImage(image, sink, error);
  if (ok && ::fchmod(fd, 0644 & ~mask) != 0) {
    error = SystemError("cannot set the mode of", path, errno);
    ok = false;
  }
  if (::close(fd) != 0 && ok) {
    error = SystemError("cannot write", path, errno);
    ok = false;
  }
  if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
    error = SystemError("cannot create", path, errno);
    ok = false;
  }
  if (!ok) ::unlink(temporary.c_str());
  return ok;
}

}  // namespace qx::udtool
