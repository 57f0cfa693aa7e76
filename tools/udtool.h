// udtool's commands and the helpers they share. Exit statuses: 0 success, 1 the file or the
// operation failed, 2 bad usage. Reports go to standard output, every error to standard error.
#ifndef QX_TOOLS_UDTOOL_H_
#define QX_TOOLS_UDTOOL_H_

#include <cstdint>
#include <string>
#include <vector>

#include "container/upgrade_file.h"

namespace qx::udtool {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

using Arguments = std::vector<std::string>;

int RunCreate(const Arguments& args);
int RunInfo(const Arguments& args);
int RunVerify(const Arguments& args);
int RunExtract(const Arguments& args);

// Prints "udtool: " + message to standard error and returns status.
int Complain(const std::string& message, int status);
// Prints the usage error and a pointer to the command's --help; returns kExitUsage.
int UsageError(const std::string& command, const std::string& message);
bool WantsHelp(const Arguments& args);

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
};

Inspection Inspect(const std::string& path);

// Text made safe for a terminal: bytes outside printable ASCII, and the backslash, as \xNN.
std::string Printable(const std::string& text);
std::string Hex(const unsigned char* bytes, std::size_t size);

}  // namespace qx::udtool

#endif  // QX_TOOLS_UDTOOL_H_
