// udtool's commands and the helpers they share. Exit statuses: 0 success, 1 the file or the
// operation failed, 2 bad usage, 3 (verify) a sound file that the router would refuse. Reports
// go to standard output, every error to standard error.
#ifndef QX_TOOLS_UDTOOL_H_
#define QX_TOOLS_UDTOOL_H_

#include <getopt.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "container/upgrade_file.h"
#include "tools/udtool_io.h"

namespace qx::udtool {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitRouterRefuses = 3;

using Arguments = std::vector<std::string>;

int RunCreate(const Arguments& args);
int RunInfo(const Arguments& args);
int RunVerify(const Arguments& args);
int RunExtract(const Arguments& args);

// Prints "udtool: " + message to standard error and returns status.
int Complain(const std::string& message, int status);
// One command's options, read with getopt_long: "--opt=value" or "--opt value", short options
// combined ("-fo OUT"), "--" ends the options. Arguments that are not options reach the handler
// with code 1, in their place among the options (create's --aux1 applies to the next FILE).
struct CommandLine {
  const char* command;  // "create"
  const char* usage;    // the usage line(s), each ending in a newline
  const char* help;     // the whole --help text, printed to standard output
  const char* short_options;
  const struct option* long_options;  // ends with a zero entry; 'h' is --help
};
using OptionHandler = std::function<bool(int code, const char* value, std::string& error)>;
// -1 when every argument was handled; otherwise the exit status to return at once: 0 after
// --help, kExitUsage after a usage error (the message and the usage line on standard error).
int ParseCommandLine(const CommandLine& line, const Arguments& args, const OptionHandler& handle);
// Prints "udtool COMMAND: message" and the usage line to standard error; returns kExitUsage.
int UsageError(const CommandLine& line, const std::string& message);

// A decimal or 0x-prefixed hexadecimal number no greater than max; false on anything else.
bool ParseNumber(const std::string& text, std::uint64_t max, std::uint64_t& value);

// One parsed file, and when the walk failed inside an inner file, where and how.
struct Inspection {
  qx::upgradeFile::UpgradeFile reader;
  bool valid = false;
  bool header_parsed = false;  // the header fields hold values (identity passed)
  std::string failure;         // "" when valid; otherwise the reader's message and the detail
  std::string error;           // the reader's message alone
  std::string detail;          // where and why, or ""

  bool has_failed_inner = false;
  unsigned int failed_index = 0;
  std::uint64_t failed_header_offset = 0;
  bool failed_header_parsed = false;
  qx::upgradeFile::InnerFileInformation failed_inner;
  std::string failed_state;  // the digest state column: "mismatch", "truncated", ...

  // Bytes after the last inner file of a valid file: covered by no digest, never read.
  std::uint64_t trailing_bytes = 0;
  bool trailing_at_least = false;  // a stream counted only up to the format's 4 GiB
};

Inspection Inspect(const Input& input);
// The MD5 of size bytes at offset: what md5sum prints for the inner file's source.
bool PayloadDigest(const std::string& path, std::uint64_t offset, std::uint32_t size,
                   unsigned char digest[16]);

// Text made safe for a terminal: bytes outside printable ASCII, and the backslash, as \xNN.
std::string Printable(const std::string& text);
std::string Hex(const unsigned char* bytes, std::size_t size);

}  // namespace qx::udtool

#endif  // QX_TOOLS_UDTOOL_H_
