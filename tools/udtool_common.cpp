#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "container/md5.h"
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

int UsageError(const CommandLine& line, const std::string& message) {
  std::fprintf(stderr, "udtool %s: %s\n%s", line.command, message.c_str(), line.usage);
  return kExitUsage;
}

// How getopt's complaint reads: the option as written (a long one without its "=value").
std::string OffendingOption(int code, const char* short_options, const char* element) {
  const bool long_form = element != nullptr && std::strncmp(element, "--", 2) == 0;
  const std::string written =
      long_form ? std::string(element).substr(0, std::string(element).find('=')) : "";
  if (code == ':') {
    return "option '" + (long_form ? written : std::string("-") + char(optopt)) + "' needs a value";
  }
  if (optopt == 0) return "unknown option '" + written + "'";
  if (optopt > 0xff || std::strchr(short_options, optopt) != nullptr) {
    return "option '" + written + "' takes no value";
  }
  return "unknown option '-" + std::string(1, char(optopt)) + "'";
}

int ParseCommandLine(const CommandLine& line, const Arguments& args, const OptionHandler& handle) {
  std::vector<std::string> storage = {std::string("udtool ") + line.command};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : storage) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(storage.size());
  // "-": arguments that are not options come in order; ":": a missing value is told apart.
  const std::string shorts = std::string("-:") + line.short_options;
  optind = 0;  // a full restart of getopt's scan
  opterr = 0;
  std::string error;
  for (;;) {
    const int code = getopt_long(argc, argv.data(), shorts.c_str(), line.long_options, nullptr);
    if (code == -1) break;
    if (code == 'h') {
      std::fputs(line.help, stdout);
      return kExitOk;
    }
    if (code == '?' || code == ':') {
      return UsageError(line, OffendingOption(code, line.short_options, argv[optind - 1]));
    }
    if (!handle(code, optarg, error)) return UsageError(line, error);
  }
  for (int i = optind; i < argc; ++i) {  // after "--"
    if (!handle(1, argv[i], error)) return UsageError(line, error);
  }
  return -1;
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

Inspection Inspect(const Input& input) {
  Inspection result;
  result.valid = result.reader.ParseFile(input.Path());
  const auto& header = result.reader.Header();
  result.header_parsed = header.Valid() || header.ErrorMessage() == "Header MD5 check failed";
  if (result.valid) {
    const auto& inner_files = result.reader.InnerFiles();
    const std::uint64_t end =
        std::uint64_t{result.reader.DataOffsets().back()} + inner_files.back().FileSize();
    bool at_least = false;
    const std::uint64_t uncopied = input.UncopiedBytes(at_least);
    result.trailing_bytes = (input.Size() > end ? input.Size() - end : 0) + uncopied;
    result.trailing_at_least = at_least;
    return result;
  }

  result.error = result.reader.ErrorMessage();
  if (result.error == "Unable to parse header") result.detail = header.ErrorMessage();
  for (const FailureKind& kind : kInnerFailures) {
    if (result.error == kind.reader_message) DescribeFailedInner(input.Path(), kind.state, result);
  }
  result.failure = result.error;
  if (!result.detail.empty()) result.failure += " (" + result.detail + ")";
  return result;
}

bool PayloadDigest(const std::string& path, std::uint64_t offset, std::uint32_t size,
                   unsigned char digest[16]) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  constexpr std::size_t kChunkBytes = 64 * 1024;
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[kChunkBytes]);
  md5_state state;
  md5_init(&state);
  std::uint64_t done = 0;
  while (done < size) {
    const std::size_t want = std::min<std::uint64_t>(kChunkBytes, size - done);
    const ssize_t got = ::pread(fd, buffer.get(), want, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    md5_append(&state, buffer.get(), static_cast<int>(got));
    done += static_cast<std::uint64_t>(got);
  }
  ::close(fd);
  if (done != size) return false;
  md5_finish(&state, digest);
  return true;
}

}  // namespace qx::udtool
