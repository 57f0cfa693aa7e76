#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "tools/udtool.h"

namespace qx::udtool {
namespace {

namespace format = qx::upgradeFile::format;

// The digest state column of the inner file at which the walk stopped, by the reader's message.
struct FailureKind {
  const char* reader_message;
  const char* state;
};
constexpr FailureKind kInnerFailures[] = {
    {"Unable to read inner file header", "missing"},
    {"Unable to parse inner header", "bad identity"},
    {"Inner file runs past 4 GiB", "too large"},
    {"Unable to read bytes", "truncated"},
    {"Inner header MD5 check failed", "mismatch"},
};

std::string QuotedName(const qx::upgradeFile::InnerFileInformation& inner) {
  return " \"" + Printable(inner.Name()) + "\"";
}

// Reads the inner file header at which the walk stopped, for the name and the sizes in the
// report. The reader keeps only completed inner files, so this looks at the bytes itself.
void DescribeFailedInner(const std::string& path, const std::string& state, Inspection& result) {
  const auto& offsets = result.reader.DataOffsets();
  const auto& inner_files = result.reader.InnerFiles();
  result.has_failed_inner = true;
  result.failed_state = state;
  result.failed_index = static_cast<unsigned int>(inner_files.size());
  result.failed_header_offset = offsets.empty()
                                    ? format::kHeaderBytes
                                    : std::uint64_t{offsets.back()} + inner_files.back().FileSize();

  std::string where = "inner file " + std::to_string(result.failed_index);
  unsigned char header[format::kHeaderBytes];
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat info {};
  if (fd >= 0 && ::fstat(fd, &info) == 0) {
    const ssize_t got =
        ::pread(fd, header, sizeof header, static_cast<off_t>(result.failed_header_offset));
    result.failed_header_parsed =
        got == static_cast<ssize_t>(sizeof header) &&
        result.failed_inner.ParseHeader(header, static_cast<unsigned int>(got));
    if (result.failed_header_parsed) where += QuotedName(result.failed_inner);
    where += ", header at offset " + std::to_string(result.failed_header_offset);
    if (state == std::string("missing") || state == std::string("truncated")) {
      where += ", file is " + std::to_string(info.st_size) + " bytes";
    }
  } else {
    where += ", header at offset " + std::to_string(result.failed_header_offset);
  }
  if (fd >= 0) ::close(fd);
  result.detail = where;
}

}  // namespace

int Complain(const std::string& message, int status) {
  std::fprintf(stderr, "udtool: %s\n", message.c_str());
  return status;
}

int UsageError(const std::string& command, const std::string& message) {
  std::fprintf(stderr, "udtool %s: %s\n(see 'udtool %s --help')\n", command.c_str(),
               message.c_str(), command.c_str());
  return kExitUsage;
}

bool WantsHelp(const Arguments& args) {
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") return true;
  }
  return false;
}

bool ParseNumber(const std::string& text, std::uint64_t max, std::uint64_t& value) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  errno = 0;
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || end != text.c_str() + text.size() || parsed > max) return false;
  value = parsed;
  return true;
}

std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    }
  }
  return out;
}

std::string Hex(const unsigned char* bytes, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < size; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 0x0f];
  }
  return out;
}

Inspection Inspect(const std::string& path) {
  Inspection result;
  result.valid = result.reader.ParseFile(path);
  const auto& header = result.reader.Header();
  result.header_parsed = header.Valid() || header.ErrorMessage() == "Header MD5 check failed";
  if (result.valid) return result;

  result.error = result.reader.ErrorMessage();
  if (result.error == "Unable to parse header") result.detail = header.ErrorMessage();
  for (const FailureKind& kind : kInnerFailures) {
    if (result.error == kind.reader_message) DescribeFailedInner(path, kind.state, result);
  }
  result.failure = result.error;
  if (!result.detail.empty()) result.failure += " (" + result.detail + ")";
  return result;
}

}  // namespace qx::udtool
